#include "api/frame_queries.h"

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

// The count and name operations over a subject's segments or markers differ
// only in the list they read.
std::size_t ItemCount(const VSubjectInfo& subject, VFrameLookups::EItems items) {
  return items == VFrameLookups::Segments ? subject.Segments.size() : subject.Markers.size();
}

const std::string& ItemName(const VSubjectInfo& subject, VFrameLookups::EItems items, std::size_t i) {
  return items == VFrameLookups::Segments ? subject.Segments[i].Name : subject.Markers[i].Name;
}

}  // namespace

VFrameQueries::VFrameQueries(std::function<bool()> answerable)
    : Answerable(std::move(answerable)), Lookups(Current, &VFrameQueries::IsForcePlateOutput) {
  Current.FrameNumber = -1;
}

void VFrameQueries::Exchange(VFrameRecord& record) {
  std::swap(Current, record);
  Lookups.Forget();
}

bool VFrameQueries::HasFrame() { return Current.FrameNumber != -1 && (!Answerable || Answerable()); }

bool VFrameQueries::GetFrameNumber(int32_t& frameNumber) {
  frameNumber = 0;
  if (!HasFrame()) return false;
  frameNumber = Current.FrameNumber;
  return true;
}

// --- Subjects, segments, markers ------------------------------------------------

bool VFrameQueries::GetSubjectCount(int32_t& count) {
  count = 0;
  if (!HasFrame()) return false;
  count = static_cast<int32_t>(Current.SubjectInfos().size());
  return true;
}

bool VFrameQueries::GetSubjectName(uint32_t subjectIndex, std::string& name) {
  name.clear();
  if (subjectIndex == 0) return false;
  if (!HasFrame()) return false;
  if (!(subjectIndex - 1 < Current.SubjectInfos().size())) return false;
  name = Current.SubjectInfos()[subjectIndex - 1].Name;
  return true;
}

bool VFrameQueries::CountOf(const std::string& subjectName, VFrameLookups::EItems items, int32_t& count) {
  count = 0;
  if (subjectName.empty()) return false;
  if (!HasFrame()) return false;
  // The first subject of that name answers, whatever its list holds.
  const VSubjectInfo* subject = Lookups.FirstSubject(subjectName);
  if (!subject) return false;
  count = static_cast<int32_t>(ItemCount(*subject, items));
  return true;
}

bool VFrameQueries::NameOf(const std::string& subjectName, VFrameLookups::EItems items, uint32_t index,
                           std::string& name) {
  name.clear();
  if (index == 0) return false;
  if (!HasFrame()) return false;
  // A subject of that name whose list is too short is passed over.
  const VSubjectInfo* subject = Lookups.FirstSubjectWith(subjectName, items, index);
  if (!subject) return false;
  name = ItemName(*subject, items, index - 1);
  return true;
}

bool VFrameQueries::GetSegmentCount(const std::string& subjectName, int32_t& count) {
  return CountOf(subjectName, VFrameLookups::Segments, count);
}

bool VFrameQueries::GetMarkerCount(const std::string& subjectName, int32_t& count) {
  return CountOf(subjectName, VFrameLookups::Markers, count);
}

bool VFrameQueries::GetSegmentName(const std::string& subjectName, uint32_t segmentIndex, std::string& name) {
  return NameOf(subjectName, VFrameLookups::Segments, segmentIndex, name);
}

bool VFrameQueries::GetMarkerName(const std::string& subjectName, uint32_t markerIndex, std::string& name) {
  return NameOf(subjectName, VFrameLookups::Markers, markerIndex, name);
}

// --- Poses ------------------------------------------------------------------------

// Segment and marker names resolve alike: the first subject of that name
// that has an item of that name answers; a subject without one is passed over.
bool VFrameQueries::FindIDs(const std::string& subjectName, const std::string& itemName,
                            VFrameLookups::EItems items, int32_t& subjectID, int32_t& itemID) {
  subjectID = 0;
  itemID = 0;
  if (subjectName.empty() || itemName.empty()) return false;
  return Lookups.FindIDs(subjectName, itemName, items, subjectID, itemID);
}

std::array<double, 3> VFrameQueries::ToOutputAxes(const std::array<double, 3>& v) const {
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

std::array<double, 4> VFrameQueries::RotationToOutputAxes(const std::array<double, 4>& quaternion) const {
  const std::array<double, 3> v = ToOutputAxes({quaternion[0], quaternion[1], quaternion[2]});
  // The Y-up turn is proper; the left-handed flip has determinant -1.
  const double det = RightHanded ? 1.0 : -1.0;
  return {det * v[0], det * v[1], det * v[2], quaternion[3]};
}

bool VFrameQueries::GetGlobalMarkerTranslation(const std::string& subjectName, const std::string& markerName,
                                               std::array<double, 3>& translation, bool& occluded) {
  translation = {0.0, 0.0, 0.0};
  occluded = false;
  if (!HasFrame()) return false;
  int32_t subjectID = 0;
  int32_t markerID = 0;
  if (!FindIDs(subjectName, markerName, VFrameLookups::Markers, subjectID, markerID)) return false;
  const VMarkerPosition* position = Lookups.FirstMarkerPosition(subjectID, markerID);
  if (!position) {
    occluded = true;
    return true;
  }
  translation = ToOutputAxes(position->Position);
  return true;
}

template <std::size_t N, class Convert>
bool VFrameQueries::SegmentPoseQuery(const std::string& subjectName, const std::string& segmentName,
                                     std::array<double, N>& out, bool& occluded, Convert convert) {
  out.fill(0.0);
  occluded = false;
  int32_t subjectID = 0;
  int32_t segmentID = 0;
  if (!HasFrame() || !FindIDs(subjectName, segmentName, VFrameLookups::Segments, subjectID, segmentID)) return false;
  const VSegmentPose* pose = Lookups.FirstPose(subjectID, segmentID);
  if (!pose) {
    occluded = true;
    return true;
  }
  out = convert(*pose);
  return true;
}

bool VFrameQueries::GetGlobalSegmentTranslation(const std::string& subjectName, const std::string& segmentName,
                                                std::array<double, 3>& translation, bool& occluded) {
  return SegmentPoseQuery(subjectName, segmentName, translation, occluded,
                          [this](const VSegmentPose& pose) { return ToOutputAxes(pose.Translation); });
}

bool VFrameQueries::GetGlobalSegmentRotationHelical(const std::string& subjectName, const std::string& segmentName,
                                                    std::array<double, 3>& helical, bool& occluded) {
  return SegmentPoseQuery(subjectName, segmentName, helical, occluded,
                          [](const VSegmentPose& pose) { return QSRotation::MatrixToHelical(pose.Rotation); });
}

bool VFrameQueries::GetGlobalSegmentRotationQuaternion(const std::string& subjectName,
                                                       const std::string& segmentName,
                                                       std::array<double, 4>& quaternion, bool& occluded) {
  return SegmentPoseQuery(subjectName, segmentName, quaternion, occluded,
                          [](const VSegmentPose& pose) { return QSRotation::MatrixToQuaternion(pose.Rotation); });
}

// --- Force plates and analog channels ----------------------------------------------

bool VFrameQueries::IsForcePlateOutput(const VDeviceOutputInfo& output) {
  const auto& names = output.ComponentNames;
  return names.size() == 3 && OneOf(names[0], "Fx", "Mx", "Cx") && OneOf(names[1], "Fy", "My", "Cy") &&
         OneOf(names[2], "Fz", "Mz", "Cz");
}

bool VFrameQueries::GetForcePlateCount(int32_t& count) {
  count = 0;
  if (!HasFrame()) return false;
  count = static_cast<int32_t>(Lookups.ForcePlates().size());
  return true;
}

bool VFrameQueries::GetForcePlateID(uint32_t plateIndex, int32_t& deviceID) {
  deviceID = 0;
  if (plateIndex == 0) return false;
  if (!HasFrame()) return false;
  const std::vector<int32_t>& plates = Lookups.ForcePlates();
  if (!(plateIndex - 1 < plates.size())) return false;
  deviceID = plates[plateIndex - 1];
  return true;
}

const VDeviceOutputData* VFrameQueries::PlateEntry(int32_t deviceID, VFrameLookups::EPlateData list,
                                                   std::size_t& perComponent) {
  perComponent = 0;
  if (!HasFrame()) return nullptr;
  if (!Lookups.IsForcePlate(deviceID)) return nullptr;
  // The first entry of the plate's device; its output id is not looked at.
  const VDeviceOutputData* entry = Lookups.FirstPlateData(list, deviceID);
  if (!entry) return nullptr;
  perComponent = entry->Samples.size() / 3;
  return perComponent == 0 ? nullptr : entry;
}

bool VFrameQueries::GetPlateVector(int32_t deviceID, VFrameLookups::EPlateData list, std::array<double, 3>& out) {
  out = {0.0, 0.0, 0.0};
  std::size_t n = 0;
  const VDeviceOutputData* entry = PlateEntry(deviceID, list, n);
  if (!entry) return false;
  const std::array<double, 3> v = {static_cast<double>(entry->Samples[0]), static_cast<double>(entry->Samples[n]),
                                   static_cast<double>(entry->Samples[2 * n])};
  out = ToOutputAxes(v);
  return true;
}

bool VFrameQueries::GetPlateSamples(int32_t deviceID, VFrameLookups::EPlateData list,
                                    std::vector<std::array<float, 3>>& samples) {
  samples.clear();
  std::size_t n = 0;
  const VDeviceOutputData* entry = PlateEntry(deviceID, list, n);
  if (!entry) return false;
  samples.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Only negated or swapped by the conversion: exact in single precision.
    const std::array<double, 3> v = ToOutputAxes({static_cast<double>(entry->Samples[i]),
                                                  static_cast<double>(entry->Samples[n + i]),
                                                  static_cast<double>(entry->Samples[2 * n + i])});
    samples[i] = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
  }
  return true;
}

bool VFrameQueries::GetForceVector(int32_t deviceID, std::array<double, 3>& force) {
  return GetPlateVector(deviceID, VFrameLookups::Forces, force);
}

bool VFrameQueries::GetMomentVector(int32_t deviceID, std::array<double, 3>& moment) {
  return GetPlateVector(deviceID, VFrameLookups::Moments, moment);
}

bool VFrameQueries::GetCentreOfPressure(int32_t deviceID, std::array<double, 3>& centre) {
  return GetPlateVector(deviceID, VFrameLookups::CentresOfPressure, centre);
}

bool VFrameQueries::GetNumberOfAnalogChannels(int32_t deviceID, int32_t& count) {
  count = 0;
  if (!HasFrame()) return false;
  if (!Lookups.IsForcePlate(deviceID)) return false;
  const VDeviceOutputInfo* analog = Lookups.AnalogOutput(deviceID);
  if (!analog) return false;
  count = static_cast<int32_t>(analog->ComponentNames.size());
  return true;
}

const VDeviceOutputData* VFrameQueries::AnalogEntry(int32_t deviceID, uint32_t channel, std::size_t& channels) {
  channels = 0;
  if (!HasFrame()) return nullptr;
  if (!Lookups.IsForcePlate(deviceID)) return nullptr;
  if (channel == 0) return nullptr;
  const VDeviceOutputInfo* analog = Lookups.AnalogOutput(deviceID);
  if (!analog) return nullptr;
  const int32_t outputID = analog->OutputID;
  const std::size_t components = analog->ComponentNames.size();
  // An output without component names has no channel, and a channel above
  // the count has no samples: both would read outside the samples (or divide
  // by zero), so both fail like every other missing channel.
  if (components == 0 || channel > components) return nullptr;
  // The first voltage entry of the output; its device id is not looked at.
  const VDeviceOutputData* entry = Lookups.FirstVoltage(outputID);
  if (!entry) return nullptr;
  channels = components;
  return entry;
}

bool VFrameQueries::GetAnalogChannelVoltage(int32_t deviceID, uint32_t channel, double& voltage) {
  voltage = 0.0;
  const float* samples = nullptr;
  std::size_t count = 0;
  if (!GetAnalogSamples(deviceID, channel, samples, count)) return false;
  voltage = static_cast<double>(samples[0]);
  return true;
}

bool VFrameQueries::GetAnalogSamples(int32_t deviceID, uint32_t channel, const float*& samples, std::size_t& count) {
  samples = nullptr;
  count = 0;
  std::size_t components = 0;
  const VDeviceOutputData* entry = AnalogEntry(deviceID, channel, components);
  if (!entry) return false;
  const std::size_t n = entry->Samples.size() / components;
  if (n == 0) return false;
  samples = entry->Samples.data() + n * (channel - 1);
  count = n;
  return true;
}
