#include "client/frame_client.h"

#include <chrono>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

using LumoraQSStream::VDynamicObjects;
using LumoraQSStream::VStaticObjects;
using LumoraQSStream::VVideoFrame;

namespace {
using Lock = std::lock_guard<VClientMutex>;
}

IQSClient* CreateFrameClient() { return new VQSClient(); }

std::shared_ptr<IQSClient> MakeSharedFrameClient(IQSClient* client) {
  return std::shared_ptr<IQSClient>(client, [](IQSClient* c) {
    if (c) c->Destroy();
  });
}

VQSClient::VQSClient() {
  Callback = std::make_shared<VQSClientCallback>(this);
  StreamClient = std::make_shared<VLumoraQSStreamClient>(
      std::weak_ptr<ILumoraQSStreamClientCallback>(Callback));
}

VQSClient::~VQSClient() {
  // The stream client goes first: its destruction shuts the connection down
  // and joins the receiving thread, which may still be delivering an event
  // into this frame client. Only once no event can arrive any more do the
  // adapter, the queue, the registry, the condition variable and the mutex
  // go (the members, in reverse order of declaration, after this body).
  // The caller (Destroy or the last ReleaseVideoFrameReference) no longer
  // holds ClientMutex, so an event blocked on it can finish.
  StreamClient.reset();
  Callback.reset();
}

void VQSClient::Destroy() {
  {
    Lock lock(ClientMutex);
    if (!VideoFrameRegistry.empty()) {
      // Frame records still refer to video frames kept here: the last
      // ReleaseVideoFrameReference completes the destruction.
      PendingDestroy = true;
      return;
    }
  }
  delete this;
}

void VQSClient::Connect(std::string host, int32_t port) {
  // Held across the whole blocking attempt: OnConnected (or OnDisconnected)
  // re-enters it on this thread, and the receiving thread's first events
  // wait until the attempt is over.
  Lock lock(ClientMutex);
  StreamClient->Connect(host, port);
}

bool VQSClient::IsConnected() { return Connected.load(); }

void VQSClient::SetObjectTypeEnabled(int32_t type, bool enabled) {
  Lock lock(ClientMutex);
  if (enabled) {
    RequestedTypes.insert(type);
  } else {
    RequestedTypes.erase(type);
  }
  // The whole set, changed or not, goes with the next request.
  StreamClient->SetRequestedTypes(RequestedTypes);
}

void VQSClient::TrimQueue() {
  // Oldest frames go first; the lock-free count follows the queue.
  while (FrameQueue.size() > MaxQueuedFrames) FrameQueue.pop_front();
  QueuedFrames.store(FrameQueue.size());
}

void VQSClient::SetMaxQueuedFrames(uint32_t bound) {
  Lock lock(ClientMutex);
  MaxQueuedFrames = bound;
  TrimQueue();
}

void VQSClient::SetVideoConversion(bool on) {
  Lock lock(ClientMutex);
  StreamClient->SetVideoConversion(on);
}

void VQSClient::SetStreamMode(int32_t mode) {
  Lock lock(ClientMutex);
  // The stream client keeps the low byte.
  StreamClient->SetStreamMode(static_cast<uint8_t>(mode & 0xFF));
}

bool VQSClient::GetFrames(std::vector<VFrameRecord>& frames) {
  // An empty queue is answered without the lock and without allocating (a
  // deque allocates even when empty): hosts poll far more often than frames
  // arrive. A frame queued meanwhile is taken by the next call.
  if (QueuedFrames.load() == 0) {
    frames.clear();
    return false;
  }
  // A host that keeps up with the stream finds one frame queued: it is moved
  // out on its own, so that taking it allocates nothing on the way to the
  // host (a new deque would).
  QueuedFrame single;
  std::optional<std::deque<QueuedFrame>> taken;
  {
    Lock lock(ClientMutex);
    if (FrameQueue.size() == 1) {
      single = std::move(FrameQueue.front());
      FrameQueue.pop_front();
      QueuedFrames.store(0);
    } else {
      TakeQueue(taken.emplace());
    }
  }
  if (taken) return AssembleRecords(*taken, frames);
  frames.resize(1);
  AssembleRecord(single, frames[0]);
  return true;
}

void VQSClient::TakeQueue(std::deque<QueuedFrame>& taken) {
  taken.swap(FrameQueue);
  QueuedFrames.store(0);
}

bool VQSClient::AssembleRecords(const std::deque<QueuedFrame>& taken, std::vector<VFrameRecord>& frames) {
  // Records are built without the lock (except for registering video
  // frames), so the receiving thread is not held up meanwhile.
  frames.resize(taken.size());
  if (taken.empty()) return false;
  for (std::size_t i = 0; i < taken.size(); ++i) AssembleRecord(taken[i], frames[i]);
  return true;
}

void VQSClient::AssembleRecord(const QueuedFrame& frame, VFrameRecord& record) {
  // `record` may be one the caller kept from an earlier call: what the frame
  // does not set is reset to a fresh record's.
  if (!frame.second) record = VFrameRecord{};
  if (!frame.first) {
    record.Scene.reset();
    record.StreamValue = 0;
  }
  FillFrameRecord(frame.first, frame.second, record);
  const VDynamicObjects* data = frame.second.get();

  record.VideoFrames.clear();  // each removed handle releases its reference
  if (!data) return;
  // Reserved before any registration, so that appending a handle cannot
  // fail after its reference was counted.
  record.VideoFrames.reserve(data->VideoFrames.size());
  for (const std::shared_ptr<VVideoFrame>& video : data->VideoFrames) {
    if (!video) continue;
    RegisterVideoFrame(video);
    record.VideoFrames.push_back(VVideoFrameHandle::Adopt(this, video.get()));
  }
}

bool VQSClient::WaitForFrames(std::vector<VFrameRecord>& frames, uint32_t timeoutMs) {
  std::deque<QueuedFrame> taken;
  {
    std::unique_lock<VClientMutex> lock(ClientMutex);
    // Monotonic deadline: a change of the calendar time does not move it.
    const VClientMutex::Clock::time_point deadline =
        VClientMutex::Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (FrameQueue.empty()) {
      // A wait that times out leaves the array alone.
      if (VClientMutex::Clock::now() >= deadline) return false;
      // Gives ClientMutex up completely, whatever the depth this thread holds
      // it at, and takes it back at that depth. A wake-up that leaves the
      // queue empty (OnDisconnected, or spurious) waits again for the rest of
      // the time.
      ClientMutex.WaitUntil(FrameAvailable, deadline);
    }
    // Taken while still holding the lock, so the frames that ended the wait
    // are this caller's; built after it, as GetFrames builds them.
    TakeQueue(taken);
  }
  return AssembleRecords(taken, frames);
}

void VQSClient::RegisterVideoFrame(const std::shared_ptr<const VVideoFrame>& frame) {
  if (!frame) return;
  Lock lock(ClientMutex);
  VideoFrameEntry& entry = VideoFrameRegistry[frame.get()];
  entry.Frame = frame;
  ++entry.Count;
}

void VQSClient::AddVideoFrameReference(const VVideoFrame* frame) {
  Lock lock(ClientMutex);
  auto found = VideoFrameRegistry.find(frame);
  // A frame that is not registered has no handle that could be copied;
  // counting it would create an entry without the frame it stands for.
  if (found == VideoFrameRegistry.end()) return;
  ++found->second.Count;
}

void VQSClient::ReleaseVideoFrameReference(const VVideoFrame* frame) {
  bool destroyNow = false;
  {
    Lock lock(ClientMutex);
    auto found = VideoFrameRegistry.find(frame);
    if (found == VideoFrameRegistry.end()) return;
    if (--found->second.Count <= 0) VideoFrameRegistry.erase(found);
    destroyNow = PendingDestroy && VideoFrameRegistry.empty();
  }
  // Nothing touches this frame client after it is deleted.
  if (destroyNow) delete this;
}

void VQSClient::OnConnected() {
  Lock lock(ClientMutex);
  Connected = true;
}

void VQSClient::OnStaticObjects(std::shared_ptr<const VStaticObjects> objects) {
  Lock lock(ClientMutex);
  CurrentStaticObjects = std::move(objects);
}

void VQSClient::OnDynamicObjects(std::shared_ptr<const VDynamicObjects> objects) {
  {
    // Held while the frame is queued as well: a sink set meanwhile then
    // takes this frame with the queue, and never leaves it behind there to
    // be fetched after newer ones once the sink is taken down.
    std::lock_guard<std::mutex> sinkLock(SinkMutex);
    if (Sink) {
      QueuedFrame frame;
      {
        Lock lock(ClientMutex);
        frame.first = CurrentStaticObjects;
      }
      frame.second = std::move(objects);
      Deliver(frame);
    } else {
      Lock lock(ClientMutex);
      FrameQueue.emplace_back(CurrentStaticObjects, std::move(objects));
      TrimQueue();
    }
  }
  // Notified after the locks are let go: a woken waiter takes them at once
  // (and one woken by a delivered frame finds the queue empty and waits on).
  FrameAvailable.notify_all();
  // This is the receiving thread, woken by the packet, often on the
  // processor of a thread that polls for frames (a host polling GetFrame)
  // and has been put aside for it. Giving the processor up once lets that
  // thread take the frame now, rather than after this thread has sent the
  // next request and blocked on the next read. Where a processor was free
  // this returns at once.
  std::this_thread::yield();
}

bool VQSClient::SetFrameSink(FrameSink sink) {
  std::lock_guard<std::mutex> sinkLock(SinkMutex);
  // Empty already, unless a delivery failed half-way (out of memory): then
  // its video frame handles would keep this frame client from ever being
  // destroyed.
  SinkRecord.LetGo();
  Sink = std::move(sink);
  if (!Sink) return true;
  std::deque<QueuedFrame> taken;
  {
    Lock lock(ClientMutex);
    TakeQueue(taken);
  }
  if (!taken.empty()) Deliver(taken.back());
  return true;
}

void VQSClient::Deliver(const QueuedFrame& frame) {
  AssembleRecord(frame, SinkRecord);
  Sink(SinkRecord);
  // What came back is the sink's replaced record: its scene, data and video
  // frames go now, on this thread, the room stays for the next frame.
  SinkRecord.LetGo();
}

void VQSClient::OnDisconnected() {
  Lock lock(ClientMutex);
  Connected = false;
  FrameAvailable.notify_all();
}

