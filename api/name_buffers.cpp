#include "api/name_buffers.h"

namespace QSApi {

namespace {

// The set this thread found last, and the registry it came from: a
// thread-local pointer has no destructor of its own, so it neither keeps the
// library from being unloaded nor outlives the registry's memory. The owner
// check keeps a second registry (a test's) from handing out the first's set.
struct VCachedSet {
  const VThreadNameBuffers* Owner;
  VNameBuffers* Set;
};
thread_local VCachedSet Cached = {nullptr, nullptr};

}  // namespace

VNameBuffers& VThreadNameBuffers::ForThisThread() {
  if (Cached.Owner == this) return *Cached.Set;
  std::lock_guard<std::mutex> lock(Mutex);
  std::unique_ptr<VNameBuffers>& set = ByThread[std::this_thread::get_id()];
  if (!set) set = std::make_unique<VNameBuffers>();
  Cached = {this, set.get()};
  return *set;
}

}  // namespace QSApi
