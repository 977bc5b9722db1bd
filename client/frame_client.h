// VQSClient: the frame client. VQSClientCallback: the adapter through which
// the stream client reports to it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "client/client_mutex.h"
#include "client/frame_record.h"
#include "client/qs_client.h"
#include "stream/stream_client.h"
#include "stream/stream_client_callback.h"

// One received frame: the scene description current when it arrived (may be
// empty) and the frame's own dynamic objects. Both containers are shared
// with the stream client and are never modified.
using QueuedFrame = std::pair<std::shared_ptr<const LumoraQSStream::VStaticObjects>,
                              std::shared_ptr<const LumoraQSStream::VDynamicObjects>>;

class VQSClientCallback;
namespace QSTesting {
class VFrameClientProbe;
}

// The frame client. Every operation except Destroy, IsConnected, GetFrames,
// WaitForFrames and SetFrameSink runs under ClientMutex for its whole
// length. GetFrames takes it only to take the queue; WaitForFrames gives it
// up completely while it waits. Both build their records after releasing it.
// SetFrameSink and a delivery to the sink hold SinkMutex and take
// ClientMutex only for the queue, the current scene and the video frame
// registry.
//
// Lifetime: created by CreateFrameClient, destroyed only through Destroy
// (the shared pointer deleter of MakeSharedFrameClient). While a frame record
// still holds a video frame handle, Destroy only marks the frame client and
// the last ReleaseVideoFrameReference completes the destruction. Neither may
// run while the calling thread holds ClientMutex: the destructor joins
// the receiving thread, which may be waiting for that lock.
//
// The destructor ends the stream client's events before anything else goes.
// A subclass's own destructor runs before that, while events may still
// arrive: a subclass used with a live connection must not override the event
// operations.
class VQSClient : public IQSClient {
 public:
  VQSClient();
  VQSClient(const VQSClient&) = delete;
  VQSClient& operator=(const VQSClient&) = delete;

  void Destroy() override;
  void Connect(std::string host, int32_t port) override;
  bool IsConnected() override;
  void SetObjectTypeEnabled(int32_t type, bool enabled) override;
  void SetMaxQueuedFrames(uint32_t bound) override;
  void SetVideoConversion(bool on) override;
  void SetStreamMode(int32_t mode) override;
  bool GetFrames(std::vector<VFrameRecord>& frames) override;
  bool WaitForFrames(std::vector<VFrameRecord>& frames, uint32_t timeoutMs) override;
  bool SetFrameSink(FrameSink sink) override;
  void AddVideoFrameReference(const LumoraQSStream::VVideoFrame* frame) override;
  void ReleaseVideoFrameReference(const LumoraQSStream::VVideoFrame* frame) override;
  ~VQSClient() override;

  // Targets of the callback adapter, called on the receiving thread (and
  // OnConnected / a failed attempt's OnDisconnected inside Connect).
  virtual void OnConnected();
  virtual void OnStaticObjects(std::shared_ptr<const LumoraQSStream::VStaticObjects> objects);
  virtual void OnDynamicObjects(std::shared_ptr<const LumoraQSStream::VDynamicObjects> objects);
  virtual void OnDisconnected();

  // Enters `frame` into the video frame registry, or finds it there, and
  // counts one more reference: the one the handle that frame assembly is
  // about to create will carry.
  void RegisterVideoFrame(const std::shared_ptr<const LumoraQSStream::VVideoFrame>& frame);

 private:
  // Tests read the state no product code needs through it.
  friend class QSTesting::VFrameClientProbe;

  struct VideoFrameEntry {
    int32_t Count = 0;
    std::shared_ptr<const LumoraQSStream::VVideoFrame> Frame;
  };

  // Fills `record` from one queued frame: the scene shared when the frame
  // has a static container, dynamic fields copied (the container is
  // shared and immutable), video frames as new handles through the registry.
  void AssembleRecord(const QueuedFrame& frame, VFrameRecord& record);
  // Moves the whole queue into `taken`; under ClientMutex.
  void TakeQueue(std::deque<QueuedFrame>& taken);
  // Fills `frames` (resized to match) from `taken`, oldest first, outside
  // ClientMutex; false when nothing was taken.
  bool AssembleRecords(const std::deque<QueuedFrame>& taken, std::vector<VFrameRecord>& frames);
  // Drops frames from the front down to the bound; under ClientMutex.
  void TrimQueue();
  // Hands `frame` to Sink as a record and lets go of the record it gets
  // back; under SinkMutex, with a sink set.
  void Deliver(const QueuedFrame& frame);

  std::shared_ptr<VLumoraQSStreamClient> StreamClient;
  std::shared_ptr<VQSClientCallback> Callback;
  // Written under ClientMutex; read without it, so that IsConnected (which
  // the facade asks at every GetFrame and query) never contends with the
  // receiving thread's deliveries.
  std::atomic<bool> Connected{false};
  VClientMutex ClientMutex;
  std::set<int32_t> RequestedTypes;
  std::shared_ptr<const LumoraQSStream::VStaticObjects> CurrentStaticObjects;
  std::deque<QueuedFrame> FrameQueue;
  // FrameQueue.size(), written under ClientMutex whenever the queue changes,
  // so that GetFrames can answer an empty queue without taking the lock: a
  // host polling for frames then never holds up the receiving thread.
  std::atomic<std::size_t> QueuedFrames{0};
  uint32_t MaxQueuedFrames = 1;
  std::condition_variable FrameAvailable;  // waited on through ClientMutex.WaitUntil
  std::map<const LumoraQSStream::VVideoFrame*, VideoFrameEntry> VideoFrameRegistry;
  // Where received frames go instead of FrameQueue, when set. SinkMutex is
  // held while a frame is delivered and while the sink changes, so that a
  // sink, once replaced, is never called again. Taken before ClientMutex,
  // never while holding it.
  std::mutex SinkMutex;
  FrameSink Sink;
  // The record frames are delivered in, kept for its room; under SinkMutex.
  VFrameRecord SinkRecord;
  bool PendingDestroy = false;
};

// Receives the stream client's events and forwards each, unchanged, to the
// operation of the same name of its frame client. Does not own the frame
// client; the frame client owns it and outlives every event (its destructor
// ends the stream client's events before anything else goes).
class VQSClientCallback : public ILumoraQSStreamClientCallback {
 public:
  explicit VQSClientCallback(VQSClient* client) : Client(client) {}

  void OnConnected() override { Client->OnConnected(); }
  void OnStaticObjects(std::shared_ptr<const LumoraQSStream::VStaticObjects> objects) override {
    Client->OnStaticObjects(std::move(objects));
  }
  void OnDynamicObjects(std::shared_ptr<const LumoraQSStream::VDynamicObjects> objects) override {
    Client->OnDynamicObjects(std::move(objects));
  }
  void OnDisconnected() override { Client->OnDisconnected(); }

 private:
  VQSClient* Client;
};
