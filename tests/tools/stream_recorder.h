// A stream client callback that keeps everything it is given, in order,
// with bounded waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "stream/stream_client_callback.h"

class VStreamRecorder : public ILumoraQSStreamClientCallback {
 public:
  struct VEvent {
    std::shared_ptr<const LumoraQSStream::VStaticObjects> Static;    // set for a static event
    std::shared_ptr<const LumoraQSStream::VDynamicObjects> Dynamic;  // set for a dynamic event
  };

  void OnConnected() override {
    std::lock_guard<std::mutex> lock(Mutex);
    Connected = true;
    Changed.notify_all();
  }
  void OnStaticObjects(std::shared_ptr<const LumoraQSStream::VStaticObjects> objects) override {
    std::lock_guard<std::mutex> lock(Mutex);
    Events.push_back({objects, nullptr});
    Changed.notify_all();
  }
  void OnDynamicObjects(std::shared_ptr<const LumoraQSStream::VDynamicObjects> objects) override {
    std::lock_guard<std::mutex> lock(Mutex);
    Events.push_back({nullptr, objects});
    ++DynamicCount;
    Changed.notify_all();
  }
  void OnDisconnected() override {
    std::lock_guard<std::mutex> lock(Mutex);
    Disconnected = true;
    Changed.notify_all();
  }

  // True when `count` dynamic containers arrived within `timeout`.
  bool WaitForDynamics(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return DynamicCount >= count; });
  }
  bool WaitForDisconnect(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return Disconnected; });
  }
  template <class Predicate>
  bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return predicate(Events); });
  }

  std::vector<VEvent> Snapshot() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Events;
  }
  std::vector<std::shared_ptr<const LumoraQSStream::VDynamicObjects>> Dynamics() {
    std::lock_guard<std::mutex> lock(Mutex);
    std::vector<std::shared_ptr<const LumoraQSStream::VDynamicObjects>> result;
    for (const auto& event : Events)
      if (event.Dynamic) result.push_back(event.Dynamic);
    return result;
  }
  bool WasConnected() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Connected;
  }
  bool WasDisconnected() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Disconnected;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<VEvent> Events;
  std::size_t DynamicCount = 0;
  bool Connected = false;
  bool Disconnected = false;
};
