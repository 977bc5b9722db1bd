#include "api/frame_lookups.h"

#include <algorithm>

using LumoraQSStream::VDeviceOutputData;
using LumoraQSStream::VDeviceOutputInfo;
using LumoraQSStream::VMarkerPosition;
using LumoraQSStream::VSegmentPose;
using LumoraQSStream::VSubjectInfo;

namespace {

// The indexes keep their room from record to record, so that a steady
// stream builds them without allocating; room for far more than the current
// record needs (left by a larger one) is given back, so that the memory held
// follows the stream.
template <class T>
void FitToSize(std::vector<T>& list) {
  if (list.capacity() > 2 * list.size() + 64) list.shrink_to_fit();
}

uint64_t PairKey(int32_t first, int32_t second) {
  return (uint64_t{static_cast<uint32_t>(first)} << 32) | static_cast<uint32_t>(second);
}

}  // namespace

template <class Key, class Value>
uint64_t VFirstOf<Key, Value>::HashOf(const VItemKey& key) {
  // FNV-1a over the subject's number and the name.
  uint64_t hash = 14695981039346656037ull ^ key.Subject;
  for (char c : key.Name) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  return hash;
}

template <class Key, class Value>
uint64_t VFirstOf<Key, Value>::HashOf(uint64_t key) {
  // The finaliser of splitmix64: a one-to-one mixing, so distinct keys never
  // share a hash.
  key = (key ^ (key >> 30)) * 0xbf58476d1ce4e5b9ull;
  key = (key ^ (key >> 27)) * 0x94d049bb133111ebull;
  return key ^ (key >> 31);
}

template <class Key, class Value>
void VFirstOf<Key, Value>::Seal() {
  FitToSize(Entries);
  if (Entries.size() <= ScannedEntries) return;
  // About one hash range per entry. The entries are distributed over the
  // ranges in the order they were added, then each range (a few entries,
  // unless a server chose keys that share a hash) is sorted: linear work.
  unsigned bits = 1;
  while ((std::size_t{1} << bits) < Entries.size()) ++bits;
  Shift = 64 - bits;
  Starts.assign((std::size_t{1} << bits) + 1, 0);
  FitToSize(Starts);
  for (VEntry& entry : Entries) {
    entry.Hash = HashOf(entry.K);
    ++Starts[(entry.Hash >> Shift) + 1];
  }
  for (std::size_t range = 1; range < Starts.size(); ++range) Starts[range] += Starts[range - 1];
  Next.assign(Starts.begin(), Starts.end() - 1);
  FitToSize(Next);
  Sorted.resize(Entries.size());
  FitToSize(Sorted);
  for (const VEntry& entry : Entries) Sorted[Next[entry.Hash >> Shift]++] = entry;
  Entries.swap(Sorted);
  for (std::size_t range = 0; range + 1 < Starts.size(); ++range) {
    std::sort(Entries.begin() + Starts[range], Entries.begin() + Starts[range + 1],
              [](const VEntry& a, const VEntry& b) {
                if (a.Hash != b.Hash) return a.Hash < b.Hash;
                if (a.K < b.K) return true;
                if (b.K < a.K) return false;
                return a.Order < b.Order;
              });
  }
}

template <class Key, class Value>
const Value* VFirstOf<Key, Value>::Find(const Key& key) const {
  if (Entries.size() <= ScannedEntries) {
    for (const VEntry& entry : Entries) {
      if (entry.K == key) return &entry.V;
    }
    return nullptr;
  }
  const uint64_t hash = HashOf(key);
  const std::size_t range = hash >> Shift;
  const auto end = Entries.begin() + Starts[range + 1];
  const auto first = std::lower_bound(
      Entries.begin() + Starts[range], end, key,
      [&](const VEntry& entry, const Key& k) { return entry.Hash < hash || (entry.Hash == hash && entry.K < k); });
  if (first == end || first->Hash != hash || !(first->K == key)) return nullptr;
  return &first->V;
}

// --- Subjects, segments and markers -------------------------------------------------

void VFrameLookups::Forget() {
  SizesKnown = PosesBuilt = MarkersBuilt = PlateDataBuilt = false;
  // A scene snapshot never changes once shared: the same snapshot, the same
  // indexes.
  if (Frame.Scene != IndexedScene) {
    SubjectsBuilt = PlatesBuilt = false;
    IndexedScene = Frame.Scene;
  }
}

void VFrameLookups::BuildSubjects() {
  IndexedScene = Frame.Scene;
  const std::vector<VSubjectInfo>& subjects = Frame.SubjectInfos();
  SubjectsByName.clear();
  for (std::size_t i = 0; i < subjects.size(); ++i) {
    SubjectsByName.push_back(
        {subjects[i].Name, static_cast<uint32_t>(i), {subjects[i].Segments.size(), subjects[i].Markers.size()}});
  }
  std::sort(SubjectsByName.begin(), SubjectsByName.end(), [](const VSubjectEntry& a, const VSubjectEntry& b) {
    return a.Name < b.Name || (a.Name == b.Name && a.Subject < b.Subject);
  });
  FitToSize(SubjectsByName);
  NameOf.assign(subjects.size(), 0);
  FitToSize(NameOf);
  // A name is known by the list index of its first subject: the first
  // entry of its run in SubjectsByName.
  uint32_t first = 0;
  for (std::size_t k = 0; k < SubjectsByName.size(); ++k) {
    VSubjectEntry& entry = SubjectsByName[k];
    if (k == 0 || entry.Name != SubjectsByName[k - 1].Name) {
      first = entry.Subject;
    } else {
      for (int items : {Segments, Markers}) {
        entry.Reach[items] = std::max(entry.Reach[items], SubjectsByName[k - 1].Reach[items]);
      }
    }
    NameOf[entry.Subject] = first;
  }
  // Subjects in list order, each one's items in list order: the first entry
  // under a (name, item name) key is the one a scan finds first.
  for (auto& items : Items) items.Clear();
  for (std::size_t i = 0; i < subjects.size(); ++i) {
    const VSubjectInfo& subject = subjects[i];
    for (const auto& segment : subject.Segments) {
      Items[Segments].Add(VItemKey{NameOf[i], segment.Name}, {subject.SubjectID, segment.SegmentID});
    }
    for (const auto& marker : subject.Markers) {
      Items[Markers].Add(VItemKey{NameOf[i], marker.Name}, {subject.SubjectID, marker.MarkerID});
    }
  }
  for (auto& items : Items) items.Seal();
  SubjectsBuilt = true;
}

std::size_t VFrameLookups::FirstNamed(std::string_view name) {
  const std::vector<VSubjectInfo>& subjects = Frame.SubjectInfos();
  if (subjects.size() <= ScannedSubjects) {
    for (std::size_t i = 0; i < subjects.size(); ++i) {
      if (subjects[i].Name == name) return i;
    }
    return NoSubject;
  }
  if (!SubjectsBuilt) BuildSubjects();
  auto entry = std::lower_bound(SubjectsByName.begin(), SubjectsByName.end(), name,
                                [](const VSubjectEntry& e, std::string_view n) { return e.Name < n; });
  return entry != SubjectsByName.end() && entry->Name == name ? entry->Subject : NoSubject;
}

const VSubjectInfo* VFrameLookups::FirstSubject(const std::string& name) {
  const std::size_t first = FirstNamed(name);
  return first == NoSubject ? nullptr : &Frame.SubjectInfos()[first];
}

const VSubjectInfo* VFrameLookups::FirstSubjectWith(const std::string& name, EItems items, std::size_t count) {
  const std::vector<VSubjectInfo>& subjects = Frame.SubjectInfos();
  if (subjects.size() <= ScannedSubjects) {
    for (const VSubjectInfo& subject : subjects) {
      if (subject.Name == name && (items == Segments ? subject.Segments.size() : subject.Markers.size()) >= count) {
        return &subject;
      }
    }
    return nullptr;
  }
  if (!SubjectsBuilt) BuildSubjects();
  // The name's run in SubjectsByName, in list order: the first entry whose
  // reach is `count` is the first subject of the name with that many items.
  auto run = std::equal_range(SubjectsByName.begin(), SubjectsByName.end(), VSubjectEntry{name, 0, {0, 0}},
                              [](const VSubjectEntry& a, const VSubjectEntry& b) { return a.Name < b.Name; });
  auto found = std::partition_point(run.first, run.second,
                                    [&](const VSubjectEntry& entry) { return entry.Reach[items] < count; });
  return found == run.second ? nullptr : &subjects[found->Subject];
}

void VFrameLookups::CountItems() {
  // Only a few subjects can have few items in all.
  ItemCount[Segments] = ItemCount[Markers] = ScannedEntries + 1;
  if (Frame.SubjectInfos().size() <= ScannedSubjects) {
    ItemCount[Segments] = ItemCount[Markers] = 0;
    for (const auto& subject : Frame.SubjectInfos()) {
      ItemCount[Segments] += subject.Segments.size();
      ItemCount[Markers] += subject.Markers.size();
    }
  }
  PoseCount = Frame.GlobalSegmentPoses().size();
  for (const auto& group : Frame.GlobalSegmentPoses()) PoseCount += group.Poses.size();
  SizesKnown = true;
}

namespace {

template <class Item>
bool ScanItems(const std::vector<Item>& list, int32_t Item::*id, const std::string& name, int32_t& itemID) {
  for (const Item& item : list) {
    if (item.Name == name) {
      itemID = item.*id;
      return true;
    }
  }
  return false;
}

}  // namespace

bool VFrameLookups::FindIDs(const std::string& subjectName, const std::string& itemName, EItems items,
                            int32_t& subjectID, int32_t& itemID) {
  if (Scanned(items)) {
    for (const VSubjectInfo& subject : Frame.SubjectInfos()) {
      if (subject.Name != subjectName) continue;
      const bool found = items == Segments
                             ? ScanItems(subject.Segments, &LumoraQSStream::VSegmentInfo::SegmentID, itemName, itemID)
                             : ScanItems(subject.Markers, &LumoraQSStream::VMarkerInfo::MarkerID, itemName, itemID);
      if (found) {
        subjectID = subject.SubjectID;
        return true;
      }
    }
    return false;
  }
  const std::size_t first = FirstNamed(subjectName);
  if (first == NoSubject) return false;
  if (!SubjectsBuilt) BuildSubjects();
  const std::pair<int32_t, int32_t>* ids = Items[items].Find(VItemKey{static_cast<uint32_t>(first), itemName});
  if (!ids) return false;
  subjectID = ids->first;
  itemID = ids->second;
  return true;
}

// --- Poses and marker positions -----------------------------------------------------

const VSegmentPose* VFrameLookups::FirstPose(int32_t subjectID, int32_t segmentID) {
  Scanned(Segments);
  if (PoseCount <= ScannedEntries) {
    for (const auto& group : Frame.GlobalSegmentPoses()) {
      if (group.SubjectID != subjectID) continue;
      for (const auto& pose : group.Poses) {
        if (pose.SegmentID == segmentID) return &pose;
      }
    }
    return nullptr;
  }
  const std::vector<LumoraQSStream::VSegmentPoses>& groups = Frame.GlobalSegmentPoses();
  if (!PosesBuilt && !PosesAsIndexed()) {
    // Groups in order, each group's poses in order.
    Poses.Clear();
    PoseKeys.clear();
    PoseGroupSizes.clear();
    for (uint32_t g = 0; g < groups.size(); ++g) {
      PoseGroupSizes.push_back(groups[g].Poses.size());
      for (uint32_t i = 0; i < groups[g].Poses.size(); ++i) {
        PoseKeys.push_back(PairKey(groups[g].SubjectID, groups[g].Poses[i].SegmentID));
        Poses.Add(PoseKeys.back(), {g, i});
      }
    }
    Poses.Seal();
    FitToSize(PoseKeys);
    FitToSize(PoseGroupSizes);
  }
  PosesBuilt = true;
  const std::pair<uint32_t, uint32_t>* at = Poses.Find(PairKey(subjectID, segmentID));
  return at ? &groups[at->first].Poses[at->second] : nullptr;
}

bool VFrameLookups::PosesAsIndexed() const {
  const std::vector<LumoraQSStream::VSegmentPoses>& groups = Frame.GlobalSegmentPoses();
  if (groups.size() != PoseGroupSizes.size()) return false;
  std::size_t k = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    // Group sizes as indexed, so the keys compared stay inside PoseKeys.
    if (groups[g].Poses.size() != PoseGroupSizes[g]) return false;
    for (const VSegmentPose& pose : groups[g].Poses) {
      if (PoseKeys[k++] != PairKey(groups[g].SubjectID, pose.SegmentID)) return false;
    }
  }
  return true;
}

const VMarkerPosition* VFrameLookups::FirstMarkerPosition(int32_t subjectID, int32_t markerID) {
  if (Frame.MarkerPositions().size() <= ScannedEntries) {
    for (const auto& position : Frame.MarkerPositions()) {
      if (position.SubjectID == subjectID && position.MarkerID == markerID) return &position;
    }
    return nullptr;
  }
  const auto& positions = Frame.MarkerPositions();
  if (!MarkersBuilt && !MarkersAsIndexed()) {
    MarkerPositions.Clear();
    MarkerKeys.clear();
    for (uint32_t i = 0; i < positions.size(); ++i) {
      MarkerKeys.push_back(PairKey(positions[i].SubjectID, positions[i].MarkerID));
      MarkerPositions.Add(MarkerKeys.back(), i);
    }
    MarkerPositions.Seal();
    FitToSize(MarkerKeys);
  }
  MarkersBuilt = true;
  const uint32_t* at = MarkerPositions.Find(PairKey(subjectID, markerID));
  return at ? &positions[*at] : nullptr;
}

bool VFrameLookups::MarkersAsIndexed() const {
  const auto& positions = Frame.MarkerPositions();
  if (positions.size() != MarkerKeys.size()) return false;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (MarkerKeys[i] != PairKey(positions[i].SubjectID, positions[i].MarkerID)) return false;
  }
  return true;
}

// --- Force plates -------------------------------------------------------------------

void VFrameLookups::BuildPlates() {
  IndexedScene = Frame.Scene;
  const std::vector<VDeviceOutputInfo>& outputs = Frame.DeviceOutputInfos();
  OutputsByDevice.clear();
  for (std::size_t i = 0; i < outputs.size(); ++i)
    OutputsByDevice.emplace_back(outputs[i].DeviceID, static_cast<uint32_t>(i));
  std::sort(OutputsByDevice.begin(), OutputsByDevice.end());
  FitToSize(OutputsByDevice);
  // One entry per device: how many of its outputs are force plate outputs,
  // and the first (list order) that is not.
  Devices.clear();
  for (const auto& [deviceID, index] : OutputsByDevice) {
    if (Devices.empty() || Devices.back().ID != deviceID) Devices.push_back({deviceID, 0, nullptr});
    VDevice& device = Devices.back();
    if (IsPlateOutput(outputs[index])) {
      ++device.PlateOutputs;
    } else if (!device.Analog) {
      device.Analog = &outputs[index];
    }
  }
  FitToSize(Devices);
  Plates.clear();
  for (const auto& device : Frame.DeviceInfos()) {
    if (IsPlate(FindDevice(device.DeviceID))) Plates.push_back(device.DeviceID);
  }
  FitToSize(Plates);
  PlatesBuilt = true;
}

const VFrameLookups::VDevice* VFrameLookups::FindDevice(int32_t deviceID) const {
  auto device = std::lower_bound(Devices.begin(), Devices.end(), deviceID,
                                 [](const VDevice& d, int32_t id) { return d.ID < id; });
  return device != Devices.end() && device->ID == deviceID ? &*device : nullptr;
}

bool VFrameLookups::IsForcePlate(int32_t deviceID) {
  if (!PlatesBuilt) BuildPlates();
  return IsPlate(FindDevice(deviceID));
}

const VDeviceOutputInfo* VFrameLookups::AnalogOutput(int32_t deviceID) {
  if (!PlatesBuilt) BuildPlates();
  const VDevice* device = FindDevice(deviceID);
  return device ? device->Analog : nullptr;
}

const std::vector<int32_t>& VFrameLookups::ForcePlates() {
  if (!PlatesBuilt) BuildPlates();
  return Plates;
}

void VFrameLookups::BuildPlateData() {
  const std::vector<VDeviceOutputData>* lists[] = {&Frame.ForceData(), &Frame.MomentData(),
                                                    &Frame.CentreOfPressureData()};
  for (int list : {Forces, Moments, CentresOfPressure}) {
    PlateData[list].Clear();
    for (const auto& entry : *lists[list]) PlateData[list].Add(entry.DeviceID, &entry);
    PlateData[list].Seal();
  }
  Voltages.Clear();
  for (const auto& entry : Frame.VoltageData()) Voltages.Add(entry.OutputID, &entry);
  Voltages.Seal();
  PlateDataBuilt = true;
}

const VDeviceOutputData* VFrameLookups::FirstPlateData(EPlateData list, int32_t deviceID) {
  if (!PlateDataBuilt) BuildPlateData();
  const VDeviceOutputData* const* entry = PlateData[list].Find(deviceID);
  return entry ? *entry : nullptr;
}

const VDeviceOutputData* VFrameLookups::FirstVoltage(int32_t outputID) {
  if (!PlateDataBuilt) BuildPlateData();
  const VDeviceOutputData* const* entry = Voltages.Find(outputID);
  return entry ? *entry : nullptr;
}
