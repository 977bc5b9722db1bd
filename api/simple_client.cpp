#include "api/simple_client.h"

#include <cstddef>
#include <utility>

#include "api/rotation_math.h"

using LumoraQSStream::VDeviceOutputData;
using LumoraQSStream::VDeviceOutputInfo;
using LumoraQSStream::VMarkerPosition;
using LumoraQSStream::VSegmentPose;
using LumoraQSStream::VSubjectInfo;

namespace {

bool OneOf(const std::string& name, const char* a, const char* b, const char* c) {
  return name == a || name == b || name == c;
}

}  // namespace

VSimpleQSClient::VSimpleQSClient()
    : PreFetchRunning(false),
      Lookups(CurrentFrame, &VSimpleQSClient::IsForcePlateOutput),
      RightHanded(true),
      ZUp(true) {
  CurrentFrame.FrameNumber = -1;
}

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
  std::lock_guard<std::mutex> lock(CallMutex);
  std::atomic_store(&Client, client);
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
    CurrentFrame.VideoFrames.clear();
    PreFetchFrame.DropVideoFrames();
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
  // Declared before the lock: the older records leave with the list, unread,
  // after it.
  std::vector<VFrameRecord> frames;
  bool fetched = false;
  {
    std::lock_guard<std::mutex> lock(CallMutex);
    if (!Connected()) return false;
    if (PreFetchThread && PreFetchRunning) {
      fetched = PreFetchFrame.TakeNewer(CurrentFrame);
    } else {
      fetched = TakeQueuedFrames(frames, false);
      if (fetched) PreFetchFrame.ReplaceCurrent(CurrentFrame, frames.back());
    }
    if (fetched) Lookups.Forget();
  }
  // Nothing new: give the processor up once, so that a host polling in a
  // tight loop does not keep the receiving thread (or the server, on the
  // same machine) from running on a small machine.
  if (!fetched) std::this_thread::yield();
  return true;
}

bool VSimpleQSClient::TakeQueuedFrames(std::vector<VFrameRecord>& frames, bool onPreFetchThread) {
  std::shared_ptr<IQSClient> client = onPreFetchThread ? std::atomic_load(&Client) : Client;
  if (!client) return false;
  client->GetFrames(frames);  // takes the frame client's lock
  return !frames.empty();
}

void VSimpleQSClient::PreFetchOnce() {
  std::vector<VFrameRecord> frames;
  if (TakeQueuedFrames(frames, true)) PreFetchFrame.Put(frames.back());
}

void VSimpleQSClient::StartPreFetch() {
  PreFetchRunning = true;
  PreFetchOnce();
  if (PreFetchThread) return;
  PreFetchThread = std::make_shared<std::thread>(&VSimpleQSClient::PreFetchLoop, this);
}

void VSimpleQSClient::StopPreFetch() {
  if (!PreFetchThread) return;
  PreFetchRunning = false;
  if (PreFetchThread->joinable()) PreFetchThread->join();
  PreFetchThread.reset();
}

void VSimpleQSClient::PreFetchLoop() {
  while (PreFetchRunning) {
    try {
      PreFetchOnce();
    } catch (...) {
      // A fetch that fails (out of memory while copying) is a fetch that
      // found nothing; the next turn tries again.
    }
    // The loop has no wait of its own and would keep a processor busy;
    // yielding between turns keeps the other threads (the host's, the
    // receiving thread) from being starved on a small machine.
    std::this_thread::yield();
  }
}

bool VSimpleQSClient::HasFrame() {
  return Connected() && CurrentFrame.FrameNumber != -1;
}

bool VSimpleQSClient::GetFrameNumber(int32_t& frameNumber) {
  frameNumber = 0;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  frameNumber = CurrentFrame.FrameNumber;
  return true;
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

// --- Subjects, segments, markers ------------------------------------------------

bool VSimpleQSClient::GetSubjectCount(int32_t& count) {
  count = 0;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  count = static_cast<int32_t>(CurrentFrame.SubjectInfos.size());
  return true;
}

bool VSimpleQSClient::GetSubjectName(uint32_t subjectIndex, std::string& name) {
  name.clear();
  if (subjectIndex == 0) return false;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  if (!(subjectIndex - 1 < CurrentFrame.SubjectInfos.size())) return false;
  name = CurrentFrame.SubjectInfos[subjectIndex - 1].Name;
  return true;
}

// The count and name operations over a subject's segments or markers differ
// only in the list they read.
namespace {

std::size_t ItemCount(const VSubjectInfo& subject, VFrameLookups::EItems items) {
  return items == VFrameLookups::Segments ? subject.Segments.size() : subject.Markers.size();
}

const std::string& ItemName(const VSubjectInfo& subject, VFrameLookups::EItems items, std::size_t i) {
  return items == VFrameLookups::Segments ? subject.Segments[i].Name : subject.Markers[i].Name;
}

}  // namespace

bool VSimpleQSClient::CountOf(const std::string& subjectName, VFrameLookups::EItems items, int32_t& count) {
  count = 0;
  if (subjectName.empty()) return false;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  // The first subject of that name answers, whatever its list holds.
  const VSubjectInfo* subject = Lookups.FirstSubject(subjectName);
  if (!subject) return false;
  count = static_cast<int32_t>(ItemCount(*subject, items));
  return true;
}

bool VSimpleQSClient::NameOf(const std::string& subjectName, VFrameLookups::EItems items, uint32_t index,
                             std::string& name) {
  name.clear();
  if (index == 0) return false;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  // A subject of that name whose list is too short is passed over.
  const VSubjectInfo* subject = Lookups.FirstSubjectWith(subjectName, items, index);
  if (!subject) return false;
  name = ItemName(*subject, items, index - 1);
  return true;
}

bool VSimpleQSClient::GetSegmentCount(const std::string& subjectName, int32_t& count) {
  return CountOf(subjectName, VFrameLookups::Segments, count);
}

bool VSimpleQSClient::GetMarkerCount(const std::string& subjectName, int32_t& count) {
  return CountOf(subjectName, VFrameLookups::Markers, count);
}

bool VSimpleQSClient::GetSegmentName(const std::string& subjectName, uint32_t segmentIndex,
                                     std::string& name) {
  return NameOf(subjectName, VFrameLookups::Segments, segmentIndex, name);
}

bool VSimpleQSClient::GetMarkerName(const std::string& subjectName, uint32_t markerIndex,
                                    std::string& name) {
  return NameOf(subjectName, VFrameLookups::Markers, markerIndex, name);
}

// --- Poses ------------------------------------------------------------------------

// Segment and marker names resolve alike: the first subject of that name
// that has an item of that name answers; a subject without one is passed over.
bool VSimpleQSClient::FindSegmentIDs(const std::string& subjectName, const std::string& segmentName,
                                     int32_t& subjectID, int32_t& segmentID) {
  subjectID = 0;
  segmentID = 0;
  if (subjectName.empty() || segmentName.empty()) return false;
  return Lookups.FindIDs(subjectName, segmentName, VFrameLookups::Segments, subjectID, segmentID);
}

bool VSimpleQSClient::FindMarkerIDs(const std::string& subjectName, const std::string& markerName,
                                    int32_t& subjectID, int32_t& markerID) {
  subjectID = 0;
  markerID = 0;
  if (subjectName.empty() || markerName.empty()) return false;
  return Lookups.FindIDs(subjectName, markerName, VFrameLookups::Markers, subjectID, markerID);
}

std::array<double, 3> VSimpleQSClient::ToOutputAxes(const std::array<double, 3>& v) const {
  std::array<double, 3> out;
  out[0] = v[0];
  if (ZUp) {
    out[1] = v[1];
    out[2] = v[2];
  } else {
    out[1] = v[2];
    out[2] = -v[1];
  }
  if (!RightHanded) out[0] = -v[0];
  return out;
}

bool VSimpleQSClient::GetGlobalMarkerTranslation(const std::string& subjectName,
                                                 const std::string& markerName,
                                                 std::array<double, 3>& translation,
                                                 bool& occluded) {
  translation = {0.0, 0.0, 0.0};
  occluded = false;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  int32_t subjectID = 0;
  int32_t markerID = 0;
  if (!FindMarkerIDs(subjectName, markerName, subjectID, markerID)) return false;
  const VMarkerPosition* position = Lookups.FirstMarkerPosition(subjectID, markerID);
  if (!position) {
    occluded = true;
    return true;
  }
  translation = ToOutputAxes(position->Position);
  return true;
}

template <std::size_t N, class Convert>
bool VSimpleQSClient::SegmentPoseQuery(const std::string& subjectName, const std::string& segmentName,
                                       std::array<double, N>& out, bool& occluded, Convert convert) {
  out.fill(0.0);
  occluded = false;
  int32_t subjectID = 0;
  int32_t segmentID = 0;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame() || !FindSegmentIDs(subjectName, segmentName, subjectID, segmentID)) return false;
  const VSegmentPose* pose = Lookups.FirstPose(subjectID, segmentID);
  if (!pose) {
    occluded = true;
    return true;
  }
  out = convert(*pose);
  return true;
}

bool VSimpleQSClient::GetGlobalSegmentTranslation(const std::string& subjectName,
                                                  const std::string& segmentName,
                                                  std::array<double, 3>& translation,
                                                  bool& occluded) {
  return SegmentPoseQuery(subjectName, segmentName, translation, occluded,
                          [this](const VSegmentPose& pose) { return ToOutputAxes(pose.Translation); });
}

bool VSimpleQSClient::GetGlobalSegmentRotationHelical(const std::string& subjectName,
                                                      const std::string& segmentName,
                                                      std::array<double, 3>& helical,
                                                      bool& occluded) {
  return SegmentPoseQuery(subjectName, segmentName, helical, occluded,
                          [](const VSegmentPose& pose) { return QSRotation::MatrixToHelical(pose.Rotation); });
}

bool VSimpleQSClient::GetGlobalSegmentRotationQuaternion(const std::string& subjectName,
                                                         const std::string& segmentName,
                                                         std::array<double, 4>& quaternion,
                                                         bool& occluded) {
  return SegmentPoseQuery(subjectName, segmentName, quaternion, occluded,
                          [](const VSegmentPose& pose) { return QSRotation::MatrixToQuaternion(pose.Rotation); });
}

// --- Force plates and analog channels ----------------------------------------------

bool VSimpleQSClient::IsForcePlateOutput(const VDeviceOutputInfo& output) {
  const auto& names = output.ComponentNames;
  return names.size() == 3 && OneOf(names[0], "Fx", "Mx", "Cx") &&
         OneOf(names[1], "Fy", "My", "Cy") && OneOf(names[2], "Fz", "Mz", "Cz");
}

bool VSimpleQSClient::IsForcePlate(int32_t deviceID) { return Lookups.IsForcePlate(deviceID); }

bool VSimpleQSClient::GetForcePlateCount(int32_t& count) {
  count = 0;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  count = static_cast<int32_t>(Lookups.ForcePlates().size());
  return true;
}

bool VSimpleQSClient::GetForcePlateID(uint32_t plateIndex, int32_t& deviceID) {
  deviceID = 0;
  if (plateIndex == 0) return false;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  const std::vector<int32_t>& plates = Lookups.ForcePlates();
  if (!(plateIndex - 1 < plates.size())) return false;
  deviceID = plates[plateIndex - 1];
  return true;
}

bool VSimpleQSClient::GetPlateVector(int32_t deviceID, VFrameLookups::EPlateData list, std::array<double, 3>& out) {
  out = {0.0, 0.0, 0.0};
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  if (!IsForcePlate(deviceID)) return false;
  // The first entry of the plate's device; its output id is not looked at.
  const VDeviceOutputData* entry = Lookups.FirstPlateData(list, deviceID);
  if (!entry) return false;
  const std::size_t n = entry->Samples.size() / 3;
  if (n == 0) return false;
  const std::array<double, 3> v = {static_cast<double>(entry->Samples[0]), static_cast<double>(entry->Samples[n]),
                                   static_cast<double>(entry->Samples[2 * n])};
  out = ToOutputAxes(v);
  return true;
}

bool VSimpleQSClient::GetForceVector(int32_t deviceID, std::array<double, 3>& force) {
  return GetPlateVector(deviceID, VFrameLookups::Forces, force);
}

bool VSimpleQSClient::GetMomentVector(int32_t deviceID, std::array<double, 3>& moment) {
  return GetPlateVector(deviceID, VFrameLookups::Moments, moment);
}

bool VSimpleQSClient::GetCentreOfPressure(int32_t deviceID, std::array<double, 3>& centre) {
  return GetPlateVector(deviceID, VFrameLookups::CentresOfPressure, centre);
}

bool VSimpleQSClient::GetNumberOfAnalogChannels(int32_t deviceID, int32_t& count) {
  count = 0;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  if (!IsForcePlate(deviceID)) return false;
  const VDeviceOutputInfo* analog = Lookups.AnalogOutput(deviceID);
  if (!analog) return false;
  count = static_cast<int32_t>(analog->ComponentNames.size());
  return true;
}

bool VSimpleQSClient::GetAnalogChannelVoltage(int32_t deviceID, uint32_t channel,
                                              double& voltage) {
  voltage = 0.0;
  std::lock_guard<std::mutex> lock(CallMutex);
  if (!HasFrame()) return false;
  if (!IsForcePlate(deviceID)) return false;
  if (channel == 0) return false;
  const VDeviceOutputInfo* analog = Lookups.AnalogOutput(deviceID);
  if (!analog) return false;
  const int32_t outputID = analog->OutputID;
  const std::size_t components = analog->ComponentNames.size();
  // An output without component names has no channel, and a channel above
  // the count has no samples: both would read outside the samples (or divide
  // by zero), so both fail like every other missing channel.
  if (components == 0 || channel > components) return false;
  // The first voltage entry of the output; its device id is not looked at.
  const VDeviceOutputData* entry = Lookups.FirstVoltage(outputID);
  if (!entry) return false;
  const std::size_t n = entry->Samples.size() / components;
  if (n == 0) return false;
  voltage = static_cast<double>(entry->Samples[n * (channel - 1)]);
  return true;
}

// --- Output conventions --------------------------------------------------------------

void VSimpleQSClient::SetLeftHandRule() {
  std::lock_guard<std::mutex> lock(CallMutex);
  RightHanded = false;
}

void VSimpleQSClient::SetRightHandRule() {
  std::lock_guard<std::mutex> lock(CallMutex);
  RightHanded = true;
}

void VSimpleQSClient::SetYUp() {
  std::lock_guard<std::mutex> lock(CallMutex);
  ZUp = false;
}

void VSimpleQSClient::SetZUp() {
  std::lock_guard<std::mutex> lock(CallMutex);
  ZUp = true;
}
