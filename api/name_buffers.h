// VThreadNameBuffers: the buffers behind the three name getters, one set per
// calling thread. A name getter returns a pointer into its buffer; giving each
// thread its own set keeps a name returned to one thread from being
// overwritten by another thread's call before the first thread calls again,
// while a single thread sees exactly what one shared buffer per getter gave:
// the same pointer on every call, its text replaced by that getter's next
// call only.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace QSApi {

struct VNameBuffers {
  std::string Subject;
  std::string Segment;
  std::string Marker;
};

class VThreadNameBuffers {
 public:
  VThreadNameBuffers() = default;
  VThreadNameBuffers(const VThreadNameBuffers&) = delete;
  VThreadNameBuffers& operator=(const VThreadNameBuffers&) = delete;

  // The calling thread's buffers, created empty on its first call. A thread
  // that starts with the id of a finished one takes over that thread's set,
  // which nobody can read any more: the sets kept stay as many as the
  // distinct thread ids seen, and the system reuses the ids of finished
  // threads. Every set is freed with this object (library unload).
  VNameBuffers& ForThisThread();

 private:
  std::mutex Mutex;
  std::unordered_map<std::thread::id, std::unique_ptr<VNameBuffers>> ByThread;
};

}  // namespace QSApi
