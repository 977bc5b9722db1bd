// VFrameClientProbe: what tests read of a frame client's state that no
// product code needs (the queue's length and bound, the requested types, the
// video frame registry, a pending destruction), and its lock held across
// several operations. Each read takes the frame client's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

#include "client/frame_client.h"

namespace QSTesting {

class VFrameClientProbe {
 public:
  explicit VFrameClientProbe(VQSClient& client) : Client(client) {}

  std::size_t QueuedFrameCount() { return Read([&] { return Client.FrameQueue.size(); }); }
  uint32_t GetMaxQueuedFrames() { return Read([&] { return Client.MaxQueuedFrames; }); }
  std::set<int32_t> GetRequestedTypes() { return Read([&] { return Client.RequestedTypes; }); }
  // The registry's count for `frame`; 0 when it is not registered.
  int32_t VideoFrameReferenceCount(const LumoraQSStream::VVideoFrame* frame) {
    return Read([&] {
      auto found = Client.VideoFrameRegistry.find(frame);
      return found == Client.VideoFrameRegistry.end() ? 0 : found->second.Count;
    });
  }
  std::size_t RegisteredVideoFrameCount() { return Read([&] { return Client.VideoFrameRegistry.size(); }); }
  bool IsDestroyPending() { return Read([&] { return Client.PendingDestroy; }); }

  // Takes the frame client's lock for the caller (recursively when it
  // already owns it), so that several operations run as one step.
  std::unique_lock<VClientMutex> Hold() { return std::unique_lock<VClientMutex>(Client.ClientMutex); }

 private:
  template <class Get>
  auto Read(Get get) -> decltype(get()) {
    std::lock_guard<VClientMutex> lock(Client.ClientMutex);
    return get();
  }

  VQSClient& Client;
};

// For tests holding the frame client through a pointer.
template <class Pointer>
VFrameClientProbe Probe(const Pointer& client) {
  return VFrameClientProbe(*client);
}

}  // namespace QSTesting
