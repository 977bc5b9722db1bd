// IQSClient: the frame client interface the facade uses.
#pragma once

#include <cstdint>
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
  virtual void AddVideoFrameReference(const LumoraQSStream::VVideoFrame* frame) = 0;
  virtual void ReleaseVideoFrameReference(const LumoraQSStream::VVideoFrame* frame) = 0;
  virtual ~IQSClient() {}
};

// A new, unconnected frame client.
IQSClient* CreateFrameClient();

// Wraps a frame client in a shared pointer whose deleter calls Destroy().
std::shared_ptr<IQSClient> MakeSharedFrameClient(IQSClient* client);
