// VRecorder: a stream client callback that records every event in order,
// with bounded waits; VClientUnderTest: a stream client reporting to one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stream/stream_client.h"
#include "stream/stream_client_callback.h"

namespace QSHostile {

using namespace std::chrono_literals;
using LumoraQSStream::VDynamicObjects;
using LumoraQSStream::VStaticObjects;

class VRecorder : public ILumoraQSStreamClientCallback {
 public:
  void OnConnected() override { Add(Connected); }
  void OnStaticObjects(std::shared_ptr<const VStaticObjects> objects) override {
    std::lock_guard<std::mutex> lock(Mutex_);
    Statics_.push_back(std::move(objects));
    AddLocked(Static);
  }
  void OnDynamicObjects(std::shared_ptr<const VDynamicObjects> objects) override {
    std::lock_guard<std::mutex> lock(Mutex_);
    Dynamics_.push_back(std::move(objects));
    AddLocked(Dynamic);
  }
  void OnDisconnected() override { Add(Disconnected); }

  enum EEvent { Connected, Static, Dynamic, Disconnected };

  bool WaitFor(EEvent event, std::size_t count, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(Mutex_);
    return Changed_.wait_for(lock, timeout, [&] { return CountLocked(event) >= count; });
  }
  std::size_t Count(EEvent event) {
    std::lock_guard<std::mutex> lock(Mutex_);
    return CountLocked(event);
  }
  std::vector<int32_t> FrameNumbers() {
    std::lock_guard<std::mutex> lock(Mutex_);
    std::vector<int32_t> numbers;
    for (const auto& d : Dynamics_) numbers.push_back(d->FrameNumber);
    return numbers;
  }
  std::shared_ptr<const VDynamicObjects> LastDynamic() {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Dynamics_.empty() ? nullptr : Dynamics_.back();
  }
  std::vector<EEvent> Events() {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Log_;
  }

 private:
  void Add(EEvent event) {
    std::lock_guard<std::mutex> lock(Mutex_);
    AddLocked(event);
  }
  void AddLocked(EEvent event) {
    Log_.push_back(event);
    Changed_.notify_all();
  }
  std::size_t CountLocked(EEvent event) const {
    std::size_t n = 0;
    for (EEvent e : Log_) n += e == event;
    return n;
  }
  std::mutex Mutex_;
  std::condition_variable Changed_;
  std::vector<EEvent> Log_;
  std::vector<std::shared_ptr<const VStaticObjects>> Statics_;
  std::vector<std::shared_ptr<const VDynamicObjects>> Dynamics_;
};

struct VClientUnderTest {
  std::shared_ptr<VRecorder> Recorder = std::make_shared<VRecorder>();
  std::unique_ptr<VLumoraQSStreamClient> Client =
      std::make_unique<VLumoraQSStreamClient>(std::weak_ptr<ILumoraQSStreamClientCallback>(Recorder));
  void Connect(uint16_t port, const std::string& address = "127.0.0.1") {
    Client->SetRequestedTypes({1, 2, 3, 4, 5, 22});
    Client->Connect(address, port);
  }
};

}  // namespace QSHostile
