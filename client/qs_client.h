// IQSClient: the frame client interface the facade uses.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/frame_record.h"

// A frame client owns one stream client, queues received frames in a
// bounded queue and turns them into frame records on request. Whoever
// creates one holds it through a shared pointer whose deleter calls
// Destroy() (see MakeSharedFrameClient).
class IQSClient {
 public:
  // Takes a received frame as a record and hands back, in the same record,
  // the one it replaces.
  using FrameSink = std::function<void(VFrameRecord&)>;

  // Deleter target: destroys the frame client now, or when the last video
  // frame reference is released.
  virtual void Destroy() = 0;
  // Blocks until the connection attempt is over; IsConnected tells its
  // outcome.
  virtual void Connect(std::string host, int32_t port) = 0;
  virtual bool IsConnected() = 0;
  virtual void SetObjectTypeEnabled(int32_t type, bool enabled) = 0;
  virtual void SetMaxQueuedFrames(uint32_t bound) = 0;
  virtual void SetVideoConversion(bool on) = 0;
  virtual void SetStreamMode(int32_t mode) = 0;
  // Never blocks beyond the frame client's lock: takes every queued frame,
  // oldest first, into `frames`, whose records it replaces (reusing their
  // room); false when none was queued.
  virtual bool GetFrames(std::vector<VFrameRecord>& frames) = 0;
  // Waits up to `timeoutMs` milliseconds for a frame, then as GetFrames.
  virtual bool WaitForFrames(std::vector<VFrameRecord>& frames, uint32_t timeoutMs) = 0;
  // Sends frames to `sink` instead of the queue: each as soon as it is
  // received, on the receiving thread. The newest frame queued so far goes
  // to the sink first and the queue is emptied, so the sink sees frames in
  // the order they came. An empty sink sends frames to the queue again.
  // Returns once no call of the sink it replaces is under way; false when
  // this frame client keeps queueing (then the caller has to pull).
  [[nodiscard]] virtual bool SetFrameSink(FrameSink sink) {
    (void)sink;
    return false;
  }
  virtual void AddVideoFrameReference(const LumoraQSStream::VVideoFrame* frame) = 0;
  virtual void ReleaseVideoFrameReference(const LumoraQSStream::VVideoFrame* frame) = 0;
  virtual ~IQSClient() {}
};

// A new, unconnected frame client.
IQSClient* CreateFrameClient();

// Wraps a frame client in a shared pointer whose deleter calls Destroy().
std::shared_ptr<IQSClient> MakeSharedFrameClient(IQSClient* client);
