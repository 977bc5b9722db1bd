// VFrameLookups: indexes over the facade's current frame record, so that a
// query costs about the same however long the lists it searches are. A host
// that walks every plate, segment, marker and channel of a frame then does
// work in proportion to their number, however many of them the server
// describes.
//
// Each index is built from the record when a query first needs it after the
// record changed (Forget), from one pass over the lists it covers and a
// sort; the indexes over the scene are kept while the records share it. Every answer is the one a scan in list order gives: the first match
// wins, and duplicates (names, ids, entries) are kept in their order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/frame_record.h"

// An item of a subject by name: the subject's name (the list index of the
// first subject of that name) and the item's name.
struct VItemKey {
  uint32_t Subject;
  std::string_view Name;
  bool operator<(const VItemKey& other) const {
    return Subject < other.Subject || (Subject == other.Subject && Name < other.Name);
  }
  bool operator==(const VItemKey& other) const { return Subject == other.Subject && Name == other.Name; }
};

// The entries added under one key, the first of them found by key. Sorted
// by a hash of the key, then by the key, then by the order they were added
// in; a table of where each range of hashes starts leads to the few entries
// that can match, which are searched by halving. Keys a server chose to
// share a hash only make that range longer: a search stays logarithmic.
// A few entries are left in the order they were added and searched one by
// one, which costs less than sorting them for the handful of queries a host
// usually makes on a frame.
template <class Key, class Value>
class VFirstOf {
 public:
  static constexpr std::size_t ScannedEntries = 32;

  void Clear() { Entries.clear(); }
  void Add(const Key& key, const Value& value) {
    Entries.push_back({0, key, static_cast<uint32_t>(Entries.size()), value});
  }
  // Done adding: sorts and indexes (beyond ScannedEntries), and gives back
  // room a larger record left.
  void Seal();
  // The value added first under `key`, or nullptr.
  const Value* Find(const Key& key) const;

 private:
  struct VEntry {
    uint64_t Hash;  // set by Seal, where the entries are sorted
    Key K;
    uint32_t Order;
    Value V;
  };
  static uint64_t HashOf(const VItemKey& key);
  static uint64_t HashOf(uint64_t key);
  std::vector<VEntry> Entries;
  // Starts[b]: the first entry whose hash's top bits are b or more, for
  // every b, then the entry count.
  std::vector<uint32_t> Starts;
  // Room for distributing the entries over the ranges.
  std::vector<uint32_t> Next;
  std::vector<VEntry> Sorted;
  unsigned Shift = 0;  // hash >> Shift gives the top bits
};

class VFrameLookups {
 public:
  using VPlateOutputTest = bool (*)(const LumoraQSStream::VDeviceOutputInfo&);

  // `frame` is the record the lookups describe; `isPlateOutput` tells a
  // force plate output by its component names.
  VFrameLookups(const VFrameRecord& frame, VPlateOutputTest isPlateOutput)
      : Frame(frame), IsPlateOutput(isPlateOutput) {}
  VFrameLookups(const VFrameLookups&) = delete;
  VFrameLookups& operator=(const VFrameLookups&) = delete;

  // The record changed: every index is built again when next needed, except
  // those over the scene (subjects, their items, devices) while the record
  // shares the scene they were built from.
  void Forget();

  enum EItems { Segments = 0, Markers = 1 };

  // The first subject named `name`, or nullptr.
  const LumoraQSStream::VSubjectInfo* FirstSubject(const std::string& name);
  // The first subject named `name` with at least `count` segments (markers),
  // or nullptr.
  const LumoraQSStream::VSubjectInfo* FirstSubjectWith(const std::string& name, EItems items, std::size_t count);
  // The first subject named `subjectName` that has a segment (marker) named
  // `itemName`, with the first such item: their ids. False if there is none.
  bool FindIDs(const std::string& subjectName, const std::string& itemName, EItems items, int32_t& subjectID,
               int32_t& itemID);

  // The first pose of the segment over the pose groups in order, or nullptr.
  const LumoraQSStream::VSegmentPose* FirstPose(int32_t subjectID, int32_t segmentID);
  // The first position of the marker, or nullptr.
  const LumoraQSStream::VMarkerPosition* FirstMarkerPosition(int32_t subjectID, int32_t markerID);

  // Whether exactly three outputs of the device are force plate outputs.
  bool IsForcePlate(int32_t deviceID);
  // The first output of the device that is not a force plate output, or
  // nullptr.
  const LumoraQSStream::VDeviceOutputInfo* AnalogOutput(int32_t deviceID);
  // The device ids of the device list that are force plates, in list order
  // (a device listed twice is there twice).
  const std::vector<int32_t>& ForcePlates();

  enum EPlateData { Forces = 0, Moments = 1, CentresOfPressure = 2 };
  // The first entry of the force (moment, centre of pressure) data with
  // this device id, or nullptr.
  const LumoraQSStream::VDeviceOutputData* FirstPlateData(EPlateData list, int32_t deviceID);
  // The first voltage entry with this output id, or nullptr.
  const LumoraQSStream::VDeviceOutputData* FirstVoltage(int32_t outputID);

 private:
  void BuildSubjects();
  void BuildPlates();
  void BuildPlateData();
  // Up to this many subjects, or items of one kind, poses or marker
  // positions in all, are searched in list order as the queries always did:
  // for the few a scene usually has, that costs less than building and
  // searching an index, and the answers are the same.
  static constexpr std::size_t ScannedSubjects = 32;
  static constexpr std::size_t ScannedEntries = 32;
  // Whether the segments (markers) of the record are few enough to scan;
  // counts them, and the poses, once per record.
  bool Scanned(EItems items) {
    if (!SizesKnown) CountItems();
    return ItemCount[items] <= ScannedEntries;
  }
  void CountItems();
  // Whether the record's poses (marker positions) hold the keys the index
  // over them was built from, in the same places.
  bool PosesAsIndexed() const;
  bool MarkersAsIndexed() const;
  static constexpr std::size_t NoSubject = ~std::size_t{0};
  // The list index of the first subject named `name`, or NoSubject.
  std::size_t FirstNamed(std::string_view name);

  struct VSubjectEntry {
    std::string_view Name;
    uint32_t Subject;  // index in SubjectInfos
    // The most segments and markers of any subject of this name up to this
    // one (list order): the first entry whose count reaches n is the first
    // subject of the name with n items.
    std::size_t Reach[2];
  };
  struct VDevice {
    int32_t ID;
    uint32_t PlateOutputs;
    const LumoraQSStream::VDeviceOutputInfo* Analog;
  };
  // The device's entry in Devices, or nullptr for a device without outputs.
  const VDevice* FindDevice(int32_t deviceID) const;
  static bool IsPlate(const VDevice* device) { return device && device->PlateOutputs == 3; }

  const VFrameRecord& Frame;
  const VPlateOutputTest IsPlateOutput;
  // The scene the scene's indexes were built from (they refer into it): held,
  // so that it cannot go and a new scene take its place at the same address.
  VSceneSnapshot IndexedScene;
  bool SizesKnown = false;
  std::size_t ItemCount[2] = {0, 0};
  std::size_t PoseCount = 0;  // pose groups and poses
  bool SubjectsBuilt = false;
  bool PosesBuilt = false;
  bool MarkersBuilt = false;
  bool PlatesBuilt = false;
  bool PlateDataBuilt = false;

  // Subjects sorted by name, then by list order.
  std::vector<VSubjectEntry> SubjectsByName;
  // Per subject (list order): the list index of the first subject of its
  // name, which stands for the name in Items.
  std::vector<uint32_t> NameOf;
  // (name, item name) -> (subject id, item id), for segments and markers.
  VFirstOf<VItemKey, std::pair<int32_t, int32_t>> Items[2];
  // (subject id, segment id) -> (group, pose) in GlobalSegmentPoses, and
  // (subject id, marker id) -> position in MarkerPositions. Kept for a later
  // frame whose lists hold the same keys in the same places (a steady
  // stream): the index then gives the same answers, and only the keys are
  // compared instead of building it again. The keys they were built from, in
  // list order, and the size of each pose group:
  VFirstOf<uint64_t, std::pair<uint32_t, uint32_t>> Poses;
  VFirstOf<uint64_t, uint32_t> MarkerPositions;
  std::vector<uint64_t> PoseKeys;
  std::vector<std::size_t> PoseGroupSizes;
  std::vector<uint64_t> MarkerKeys;
  // Devices with outputs, sorted by id.
  std::vector<VDevice> Devices;
  std::vector<std::pair<int32_t, uint32_t>> OutputsByDevice;  // built with Devices
  std::vector<int32_t> Plates;
  VFirstOf<int32_t, const LumoraQSStream::VDeviceOutputData*> PlateData[3];
  VFirstOf<int32_t, const LumoraQSStream::VDeviceOutputData*> Voltages;
};
