// Dynamic payload classes (one frame's measurements), their decoders,
// VDynamicObjects, VVideoFrame and the packet summary.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "streamio/object_types.h"
#include "streamio/reader.h"
#include "streamio/record_array.h"

namespace LumoraQSStream {

using LumoraQSStreamIO::VReader;
using LumoraQSStreamIO::VRecordArray;

// Fixed-size records: exact byte images of the wire records, copied from the
// packet in one block per array.
struct VMarkerPosition {
  int32_t SubjectID;
  int32_t MarkerID;
  std::array<uint8_t, 8> Reserved;
  std::array<double, 3> Position;  // x, y, z
  std::array<double, 9> Trailing;
};
static_assert(sizeof(VMarkerPosition) == 112, "marker position record");
static_assert(offsetof(VMarkerPosition, MarkerID) == 4, "marker position layout");
static_assert(offsetof(VMarkerPosition, Reserved) == 8, "marker position layout");
static_assert(offsetof(VMarkerPosition, Position) == 16, "marker position layout");
static_assert(offsetof(VMarkerPosition, Trailing) == 40, "marker position layout");

struct VMarkerRecord {
  std::array<uint8_t, 104> Bytes;
};
static_assert(sizeof(VMarkerRecord) == 104, "marker record");

struct VSegmentPose {
  int32_t SegmentID;
  std::array<uint8_t, 4> Reserved;
  std::array<double, 3> Translation;  // x, y, z
  std::array<double, 9> Rotation;     // 3x3 matrix by rows: (r, c) at 3r + c
};
static_assert(sizeof(VSegmentPose) == 104, "segment pose record");
static_assert(offsetof(VSegmentPose, Reserved) == 4, "segment pose layout");
static_assert(offsetof(VSegmentPose, Translation) == 8, "segment pose layout");
static_assert(offsetof(VSegmentPose, Rotation) == 32, "segment pose layout");

struct VBlockRecord {
  std::array<uint8_t, 32> Bytes;  // four 8-byte values, carried unchanged
};
static_assert(sizeof(VBlockRecord) == 32, "block record");

struct VShortRecord {
  std::array<uint8_t, 6> Bytes;
};
static_assert(sizeof(VShortRecord) == 6, "short record");

struct VSegmentPoses {
  int32_t SubjectID = 0;
  VRecordArray<VSegmentPose> Poses;
};

struct VDeviceOutputData {
  int32_t Value0 = 0;
  int32_t DeviceID = 0;
  int32_t OutputID = 0;
  // Component by component: with k components and n samples, component c
  // holds positions c * n / k to (c + 1) * n / k - 1.
  VRecordArray<float> Samples;
};

struct VBlockData {
  int32_t Value0 = 0;
  int32_t Value1 = 0;
  VRecordArray<VBlockRecord> Blocks;
};

struct VChunk {
  VRecordArray<uint8_t> Bytes;
  uint16_t Value0 = 0;
  uint16_t Value1 = 0;
};

struct VChunkData {
  int32_t Value0 = 0;
  int32_t Value1 = 0;
  std::vector<std::vector<VChunk>> Groups;
};

struct VShortRecordData {
  int32_t Value0 = 0;
  int32_t Value1 = 0;
  VRecordArray<VShortRecord> Records;
};

// One video frame. Created on the heap per object and shared; read-only once
// its packet is complete.
struct VVideoFrame {
  int32_t Value0 = 0;
  int32_t Value1 = 0;
  uint16_t Value2 = 0;
  uint16_t Value3 = 0;
  uint16_t Width = 0;
  uint16_t Height = 0;
  int32_t Format = 0;
  VRecordArray<uint8_t> Data;
};

// The dynamic objects of one packet. Once handed to the callback a container
// is never modified again (see VLumoraQSStreamClient).
struct VDynamicObjects {
  int32_t FrameNumber = -1;  // -1 (no frame) until a FrameNumber object or carry-over sets it
  VRecordArray<VMarkerPosition> MarkerPositions;
  VRecordArray<VMarkerRecord> MarkerRecords;
  std::vector<VBlockData> BlockDatas;
  std::vector<VSegmentPoses> OtherSegmentPoses;  // type 8 is skipped: stays empty
  std::vector<VSegmentPoses> GlobalSegmentPoses;
  std::vector<VChunkData> ChunkDatas;
  std::vector<VShortRecordData> ShortRecordDatas;
  std::vector<VDeviceOutputData> Forces;
  std::vector<VDeviceOutputData> Moments;
  std::vector<VDeviceOutputData> CentresOfPressure;
  std::vector<VDeviceOutputData> Voltages;
  std::vector<std::shared_ptr<VVideoFrame>> VideoFrames;
};

// Calls `visit` with a pointer to each list member of VDynamicObjects (every
// dynamic type's member but the frame number), in catalogue order, so that
// code over every list of a container (or of two containers at once) names
// them in one place.
template <class Visit>
void ForEachList(Visit&& visit) {
#define QS_VISIT_LIST_Overwrite(Member)
#define QS_VISIT_LIST_Replace(Member) visit(&VDynamicObjects::Member);
#define QS_VISIT_LIST_Append(Member) visit(&VDynamicObjects::Member);
#define QS_VISIT_LIST_AppendShared(Member) visit(&VDynamicObjects::Member);
#define QS_VISIT_LIST_Dynamic(Member, Rule) QS_VISIT_LIST_##Rule(Member)
#define QS_VISIT_LIST_Static(...)
#define QS_VISIT_LIST_None(...)
#define QS_VISIT_LIST(Name, Number, Route, Holder, Member, Rule, ...) QS_VISIT_LIST_##Holder(Member, Rule)
  QS_OBJECT_TYPES(QS_VISIT_LIST)
#undef QS_VISIT_LIST
#undef QS_VISIT_LIST_None
#undef QS_VISIT_LIST_Static
#undef QS_VISIT_LIST_Dynamic
#undef QS_VISIT_LIST_AppendShared
#undef QS_VISIT_LIST_Append
#undef QS_VISIT_LIST_Replace
#undef QS_VISIT_LIST_Overwrite
}

// Inner lists given up by a container that is about to be filled again
// (EmptyForReuse). DecodeDynamicObject hands them to the pose groups and
// device samples it appends, so a reused container that receives a frame of
// the same shape as its last one allocates nothing.
struct VSpareLists {
  std::vector<VRecordArray<VSegmentPose>> Poses;
  std::vector<VRecordArray<float>> Samples;
};

// Makes `objects` what a newly constructed container is (FrameNumber -1,
// every list empty) while keeping its memory: every list keeps its
// capacity, and the pose and sample lists of its elements replace whatever
// `spare` held.
void EmptyForReuse(VDynamicObjects& objects, VSpareLists& spare);

// The bytes EmptyForReuse keeps of `objects` (capacity, not size): the room
// of every list of the container, and of the pose and sample lists of its
// elements, which go to the spare lists.
std::size_t KeptBytes(const VDynamicObjects& objects);
// The bytes `spare` holds: its lists' room and the room of the lists in them.
std::size_t KeptBytes(const VSpareLists& spare);

struct VSummaryPair {
  int32_t First = 0;
  int32_t Second = 0;
};
static_assert(sizeof(VSummaryPair) == 8, "summary pair");

// The per-packet summary: the types whose objects the server did not send
// again and that are to be taken from the previous packet's containers.
struct VPacketSummary {
  std::vector<VSummaryPair> Pairs;  // read, not used
  std::set<int32_t> CarriedTypes;
};

bool DecodeFrameNumber(VReader& reader, int32_t& frameNumber);
bool DecodeMarkerPositions(VReader& reader, VRecordArray<VMarkerPosition>& positions);
bool DecodeMarkerRecords(VReader& reader, VRecordArray<VMarkerRecord>& records);
bool DecodeSegmentPoses(VReader& reader, VSegmentPoses& poses);
bool DecodeDeviceOutputData(VReader& reader, VDeviceOutputData& data);
bool DecodeBlockData(VReader& reader, VBlockData& data);
bool DecodeChunkData(VReader& reader, VChunkData& data);
bool DecodeShortRecordData(VReader& reader, VShortRecordData& data);
bool DecodeVideoFrame(VReader& reader, VVideoFrame& frame);
// Empties both collections first, so the last summary of a packet wins.
// With `keep`, only the carried types it accepts are kept (all are read).
bool DecodePacketSummary(VReader& reader, VPacketSummary& summary, bool (*keep)(int32_t) = nullptr);
// A count, then that many type numbers: the server's offered types and the
// client's requested types. Empties the set first. With `keep`, only the
// numbers it accepts are kept (all are read).
bool DecodeObjectTypeList(VReader& reader, std::set<int32_t>& types, bool (*keep)(int32_t) = nullptr);

// Decodes an object of a dynamic type into `objects` by the type's
// accumulation rule. Returns false for a failed decode and for a type that is
// not dynamic. A decoded video frame is the last element of VideoFrames.
// With `spare`, an appended pose group or device output takes one of its
// lists, if any are left, instead of a new one; the decoded values are the
// same either way.
bool DecodeDynamicObject(int32_t type, VReader& reader, VDynamicObjects& objects,
                         VSpareLists* spare = nullptr);

}  // namespace LumoraQSStream
