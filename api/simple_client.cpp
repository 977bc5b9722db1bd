#include "api/simple_client.h"

#include <chrono>
#include <utility>

namespace {

// Records kept between turns are kept for their room only: what they refer
// to (video frames, the scene, the frame's data) is let go as a destroyed
// record would, so that a frame's container goes back to the receiving
// thread once the host has moved on.
void LetGoOfReferences(std::vector<VFrameRecord>& records) {
  for (VFrameRecord& record : records) record.LetGo();
}

}  // namespace

VSimpleQSClient::VSimpleQSClient() : PreFetchRunning(false), Queries([this] { return Connected(); }) {}

VSimpleQSClient::~VSimpleQSClient() {
  // Whatever the connection state, the prefetch thread must be gone before
  // the frame client and the frame records are.
  StopPreFetch();
  std::atomic_store(&Client, std::shared_ptr<IQSClient>());
}

// --- Connection ------------------------------------------------------------

bool VSimpleQSClient::Connect(std::shared_ptr<IQSClient> client, const std::string& host) {
  if (host.empty()) return false;
  std::lock_guard<std::mutex> connecting(ConnectMutex);
  {
    std::lock_guard<std::mutex> lock(CallMutex);
    if (Client) return false;
  }
  if (!client || client->IsConnected()) return false;
  // The object types are configured before connecting: the receiving thread
  // sends its first request as soon as the server's handshake arrives, and
  // that request must already ask for scene descriptions and frame numbers
  // rather than for nothing. A client refused below is destroyed anyway.
  for (int32_t type : LumoraQSStream::TypesEnabledAtConnect()) client->SetObjectTypeEnabled(type, true);
  for (int32_t type : LumoraQSStream::TypesDisabledAtConnect()) client->SetObjectTypeEnabled(type, false);
  // The attempt can take seconds (name resolution, a bounded connect); other
  // threads' calls answer meanwhile as before it.
  client->Connect(std::string(host), ServerPort);
  if (!client->IsConnected()) return false;

  // Only Connect stores a client, and ConnectMutex keeps Connects apart: Client
  // is still empty here.
  {
    std::lock_guard<std::mutex> lock(CallMutex);
    std::atomic_store(&Client, client);
  }
  // A prefetch thread started before the connection waits for a client.
  WakePreFetch();
  return true;
}

bool VSimpleQSClient::Disconnect() {
  // Declared before the lock, so released after it: the frame client's
  // Destroy (which joins its receiving thread) runs once other threads can
  // call again.
  std::shared_ptr<IQSClient> client;
  std::lock_guard<std::mutex> lock(CallMutex);
  client = Client;
  if (!client) return false;
  const bool connected = client->IsConnected();
  // Connected: the normal way out. Lost: nothing is connected, so the
  // result stays false, but the dead frame client is released as well;
  // otherwise neither Connect nor Disconnect could ever leave that state.
  StopPreFetch();
  {
    // Video frames a server sent unasked still refer to this frame client
    // through the kept records, which would put its destruction (and the
    // end of the connection) off until a later frame replaced them. Nothing
    // the exports answer reads them: drop them here.
    Queries.Update([](VFrameRecord& current) {
      current.VideoFrames.clear();
      return false;  // nothing a query reads
    });
    PreFetchFrame.DropVideoFrames();
    LetGoOfReferences(HostFrames);
  }
  std::atomic_store(&Client, std::shared_ptr<IQSClient>());
  // `client` is now the last reference: the frame client's Destroy runs when
  // it goes, after the lock.
  return connected;
}

bool VSimpleQSClient::IsConnected() {
  std::lock_guard<std::mutex> lock(CallMutex);
  return Connected();
}

bool VSimpleQSClient::Connected() {
  // Under CallMutex: no copy of the pointer either, whose reference count
  // the prefetch thread's copies keep changing on the other processor.
  return Client && Client->IsConnected();
}

// --- Frames and prefetching --------------------------------------------------

void VSimpleQSClient::SetPreFetchMode(bool enable) {
  std::lock_guard<std::mutex> lock(CallMutex);
  if (enable) {
    StartPreFetch();
  } else {
    StopPreFetch();
  }
}

bool VSimpleQSClient::GetFrame() {
  bool fetched = false;
  {
    std::lock_guard<std::mutex> lock(CallMutex);
    if (!Connected()) return false;
    if (PreFetchThread && PreFetchRunning) {
      fetched = Queries.Update([this](VFrameRecord& current) { return PreFetchFrame.TakeNewer(current); });
    } else {
      // What the last fetch replaced goes now, before looking for a frame:
      // letting go of it (its frame's container goes back to the receiving
      // thread) is then never on a new frame's way to the host.
      LetGoOfReferences(HostFrames);
      if (TakeQueuedFrames()) {
        fetched = Queries.Update([this](VFrameRecord& current) {
          PreFetchFrame.ReplaceCurrent(current, HostFrames.back());
          return true;
        });
      }
    }
  }
  // Nothing new: give the processor up once, so that a host polling in a
  // tight loop does not keep the receiving thread (or the server, on the
  // same machine) from running on a small machine.
  if (!fetched) std::this_thread::yield();
  return true;
}

bool VSimpleQSClient::TakeQueuedFrames() {
  if (!Client) return false;
  Client->GetFrames(HostFrames);  // takes the frame client's lock
  return !HostFrames.empty();
}

void VSimpleQSClient::StartPreFetch() {
  PreFetchRunning = true;
  // On the host's thread, under CallMutex, with the host's records (the
  // prefetch thread, when it runs already, has its own): a frame queued
  // already is ready at once.
  if (TakeQueuedFrames()) PreFetchFrame.Put(HostFrames.back());
  LetGoOfReferences(HostFrames);
  if (PreFetchThread) return;
  PreFetchThread = std::make_shared<std::thread>(&VSimpleQSClient::PreFetchLoop, this);
}

void VSimpleQSClient::StopPreFetch() {
  if (!PreFetchThread) return;
  {
    // Under the wake lock, so that a thread about to wait without a frame
    // client sees the change or gets the notification.
    std::lock_guard<std::mutex> lock(PreFetchWakeMutex);
    PreFetchRunning = false;
  }
  PreFetchWake.notify_all();
  if (PreFetchThread->joinable()) PreFetchThread->join();
  PreFetchThread.reset();
}

void VSimpleQSClient::WakePreFetch() {
  { std::lock_guard<std::mutex> lock(PreFetchWakeMutex); }
  PreFetchWake.notify_all();
}

void VSimpleQSClient::PreFetchLoop() {
  using Clock = std::chrono::steady_clock;
  // This thread's records, reused turn after turn.
  std::vector<VFrameRecord> frames;
  // Polling starts with the thread, as if a frame had just come.
  Clock::time_point lastFrame = Clock::now();
  // The frame client asked to put its frames straight into PreFetchFrame on
  // its receiving thread, and whether it does. Then no frame waits for this
  // thread, and no processor is kept busy polling for frames: on a small
  // machine a polling thread holds up the very threads that bring them.
  std::shared_ptr<IQSClient> asked;
  bool delivering = false;
  while (PreFetchRunning) {
    std::shared_ptr<IQSClient> client = std::atomic_load(&Client);
    if (!client) {
      // Nothing to fetch from until Connect stores a frame client (which
      // wakes this wait) or prefetching stops.
      std::unique_lock<std::mutex> lock(PreFetchWakeMutex);
      PreFetchWake.wait_for(lock, std::chrono::milliseconds(PreFetchWaitMs),
                            [this] { return !PreFetchRunning || std::atomic_load(&Client); });
      lastFrame = Clock::now();
      continue;
    }
    try {
      if (client != asked) {
        asked = client;
        delivering = client->SetFrameSink([this](VFrameRecord& fresh) { PreFetchFrame.Put(fresh); });
      }
      if (delivering) {
        // Only the frame client stored while this thread runs is ever asked
        // (Disconnect stops prefetching before it lets go of its client):
        // what is left is to send frames back to the queue when
        // prefetching stops.
        std::unique_lock<std::mutex> lock(PreFetchWakeMutex);
        PreFetchWake.wait(lock, [this] { return !PreFetchRunning; });
        continue;
      }
      bool fetched;
      if (Clock::now() - lastFrame < std::chrono::milliseconds(PreFetchPollMs)) {
        // Frames are coming: poll, giving the processor up between turns,
        // so that a frame is taken as soon as it is queued.
        fetched = client->GetFrames(frames);
        if (!fetched) std::this_thread::yield();
      } else {
        // The stream has gone quiet: sleep on the frame client's queue
        // until the receiving thread queues a frame. The bounded wait is
        // how soon StopPreFetch's join returns.
        fetched = client->WaitForFrames(frames, PreFetchWaitMs);
      }
      if (fetched) {
        PreFetchFrame.Put(frames.back());
        lastFrame = Clock::now();
      }
    } catch (...) {
      // A fetch that fails (out of memory) is a fetch that found nothing;
      // the next turn tries again. A sink that failed to be set up (the
      // first frame it was handed could not be built) is not asked again:
      // this thread pulls instead, and the sink, if it was set, is taken
      // down below all the same.
    }
    LetGoOfReferences(frames);
  }
  // Frames go to the frame client's queue again, for GetFrame's own fetch
  // or for the next prefetch thread.
  if (asked) static_cast<void>(asked->SetFrameSink(nullptr));
}

// --- Data kinds ---------------------------------------------------------------

bool VSimpleQSClient::EnableTypes(LumoraQSStream::EDataKind kind) {
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!Connected()) return false;
  for (int32_t type : LumoraQSStream::TypesOfKind(kind)) Client->SetObjectTypeEnabled(type, true);
  return true;
}

bool VSimpleQSClient::EnableSegmentData() { return EnableTypes(LumoraQSStream::EDataKind::Segments); }

bool VSimpleQSClient::EnableMarkerData() { return EnableTypes(LumoraQSStream::EDataKind::Markers); }

bool VSimpleQSClient::EnableForcePlateData() { return EnableTypes(LumoraQSStream::EDataKind::ForcePlates); }

// --- Queries and output conventions ----------------------------------------------
//
// Each runs under CallMutex on the current record; the queries fail once the
// connection is gone (Queries asks Connected()).

template <class Query>
auto VSimpleQSClient::Ask(Query query) {
  std::lock_guard<std::mutex> lock(CallMutex);
  return query(Queries);
}

bool VSimpleQSClient::GetFrameNumber(int32_t& frameNumber) {
  return Ask([&](VFrameQueries& q) { return q.GetFrameNumber(frameNumber); });
}

bool VSimpleQSClient::GetSubjectCount(int32_t& count) {
  return Ask([&](VFrameQueries& q) { return q.GetSubjectCount(count); });
}

bool VSimpleQSClient::GetSubjectName(uint32_t subjectIndex, std::string& name) {
  return Ask([&](VFrameQueries& q) { return q.GetSubjectName(subjectIndex, name); });
}

bool VSimpleQSClient::GetSegmentCount(const std::string& subjectName, int32_t& count) {
  return Ask([&](VFrameQueries& q) { return q.GetSegmentCount(subjectName, count); });
}

bool VSimpleQSClient::GetMarkerCount(const std::string& subjectName, int32_t& count) {
  return Ask([&](VFrameQueries& q) { return q.GetMarkerCount(subjectName, count); });
}

bool VSimpleQSClient::GetSegmentName(const std::string& subjectName, uint32_t segmentIndex, std::string& name) {
  return Ask([&](VFrameQueries& q) { return q.GetSegmentName(subjectName, segmentIndex, name); });
}

bool VSimpleQSClient::GetMarkerName(const std::string& subjectName, uint32_t markerIndex, std::string& name) {
  return Ask([&](VFrameQueries& q) { return q.GetMarkerName(subjectName, markerIndex, name); });
}

bool VSimpleQSClient::GetGlobalMarkerTranslation(const std::string& subjectName, const std::string& markerName,
                                                 std::array<double, 3>& translation, bool& occluded) {
  return Ask([&](VFrameQueries& q) {
    return q.GetGlobalMarkerTranslation(subjectName, markerName, translation, occluded);
  });
}

bool VSimpleQSClient::GetGlobalSegmentTranslation(const std::string& subjectName, const std::string& segmentName,
                                                  std::array<double, 3>& translation, bool& occluded) {
  return Ask([&](VFrameQueries& q) {
    return q.GetGlobalSegmentTranslation(subjectName, segmentName, translation, occluded);
  });
}

bool VSimpleQSClient::GetGlobalSegmentRotationHelical(const std::string& subjectName,
                                                      const std::string& segmentName,
                                                      std::array<double, 3>& helical, bool& occluded) {
  return Ask([&](VFrameQueries& q) {
    return q.GetGlobalSegmentRotationHelical(subjectName, segmentName, helical, occluded);
  });
}

bool VSimpleQSClient::GetGlobalSegmentRotationQuaternion(const std::string& subjectName,
                                                         const std::string& segmentName,
                                                         std::array<double, 4>& quaternion, bool& occluded) {
  return Ask([&](VFrameQueries& q) {
    return q.GetGlobalSegmentRotationQuaternion(subjectName, segmentName, quaternion, occluded);
  });
}

bool VSimpleQSClient::GetForcePlateCount(int32_t& count) {
  return Ask([&](VFrameQueries& q) { return q.GetForcePlateCount(count); });
}

bool VSimpleQSClient::GetForcePlateID(uint32_t plateIndex, int32_t& deviceID) {
  return Ask([&](VFrameQueries& q) { return q.GetForcePlateID(plateIndex, deviceID); });
}

bool VSimpleQSClient::GetForceVector(int32_t deviceID, std::array<double, 3>& force) {
  return Ask([&](VFrameQueries& q) { return q.GetForceVector(deviceID, force); });
}

bool VSimpleQSClient::GetMomentVector(int32_t deviceID, std::array<double, 3>& moment) {
  return Ask([&](VFrameQueries& q) { return q.GetMomentVector(deviceID, moment); });
}

bool VSimpleQSClient::GetCentreOfPressure(int32_t deviceID, std::array<double, 3>& centre) {
  return Ask([&](VFrameQueries& q) { return q.GetCentreOfPressure(deviceID, centre); });
}

bool VSimpleQSClient::GetNumberOfAnalogChannels(int32_t deviceID, int32_t& count) {
  return Ask([&](VFrameQueries& q) { return q.GetNumberOfAnalogChannels(deviceID, count); });
}

bool VSimpleQSClient::GetAnalogChannelVoltage(int32_t deviceID, uint32_t channel, double& voltage) {
  return Ask([&](VFrameQueries& q) { return q.GetAnalogChannelVoltage(deviceID, channel, voltage); });
}

void VSimpleQSClient::SetLeftHandRule() {
  Ask([](VFrameQueries& q) { q.SetLeftHandRule(); });
}

void VSimpleQSClient::SetRightHandRule() {
  Ask([](VFrameQueries& q) { q.SetRightHandRule(); });
}

void VSimpleQSClient::SetYUp() {
  Ask([](VFrameQueries& q) { q.SetYUp(); });
}

void VSimpleQSClient::SetZUp() {
  Ask([](VFrameQueries& q) { q.SetZUp(); });
}
