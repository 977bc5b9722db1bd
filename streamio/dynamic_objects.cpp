#include "streamio/dynamic_objects.h"

#include "streamio/limits.h"

namespace LumoraQSStream {

using namespace LumoraQSStreamIO;

bool DecodeFrameNumber(VReader& reader, int32_t& frameNumber) {
  return reader.ReadInt32(frameNumber);
}

bool DecodeMarkerPositions(VReader& reader, VRecordArray<VMarkerPosition>& positions) {
  return reader.ReadRecords(positions);
}

bool DecodeMarkerRecords(VReader& reader, VRecordArray<VMarkerRecord>& records) {
  return reader.ReadRecords(records);
}

bool DecodeSegmentPoses(VReader& reader, VSegmentPoses& poses) {
  return reader.ReadInt32(poses.SubjectID) && reader.ReadRecords(poses.Poses);
}

bool DecodeDeviceOutputData(VReader& reader, VDeviceOutputData& data) {
  if (!reader.ReadInt32(data.Value0) || !reader.ReadInt32(data.DeviceID) ||
      !reader.ReadInt32(data.OutputID)) {
    return false;
  }
  return reader.ReadRecords(data.Samples);
}

bool DecodeBlockData(VReader& reader, VBlockData& data) {
  return reader.ReadInt32(data.Value0) && reader.ReadInt32(data.Value1) &&
         reader.ReadRecords(data.Blocks);
}

namespace {

bool DecodeChunk(VReader& reader, VChunk& chunk) {
  uint16_t length = 0;
  if (!reader.ReadUInt16(chunk.Value0) || !reader.ReadUInt16(chunk.Value1) ||
      !reader.ReadUInt16(length)) {
    return false;
  }
  return reader.ReadArray(chunk.Bytes, length);
}

}  // namespace

bool DecodeChunkData(VReader& reader, VChunkData& data) {
  if (!reader.ReadInt32(data.Value0) || !reader.ReadInt32(data.Value1)) return false;
  uint32_t groups = 0;
  if (!reader.ReadCount(groups, MinChunkGroupBytes)) return false;
  data.Groups.clear();
  data.Groups.reserve(groups);
  for (uint32_t g = 0; g < groups; ++g) {
    std::vector<VChunk>& group = data.Groups.emplace_back();
    uint32_t chunks = 0;
    if (!reader.ReadCount(chunks, MinChunkBytes)) return false;
    group.reserve(chunks);
    for (uint32_t c = 0; c < chunks; ++c) {
      if (!DecodeChunk(reader, group.emplace_back())) return false;
    }
  }
  return true;
}

bool DecodeShortRecordData(VReader& reader, VShortRecordData& data) {
  return reader.ReadInt32(data.Value0) && reader.ReadInt32(data.Value1) &&
         reader.ReadRecords(data.Records);
}

bool DecodeVideoFrame(VReader& reader, VVideoFrame& frame) {
  if (!reader.ReadInt32(frame.Value0) || !reader.ReadInt32(frame.Value1) ||
      !reader.ReadUInt16(frame.Value2) || !reader.ReadUInt16(frame.Value3) ||
      !reader.ReadUInt16(frame.Width) || !reader.ReadUInt16(frame.Height) ||
      !reader.ReadInt32(frame.Format)) {
    return false;
  }
  return reader.ReadRecords(frame.Data);
}

namespace {

// `count` type numbers into `types`, each once; with `keep`, only those it
// accepts.
bool ReadTypeNumbers(VReader& reader, uint32_t count, std::set<int32_t>& types, bool (*keep)(int32_t)) {
  for (uint32_t i = 0; i < count; ++i) {
    int32_t type = 0;
    if (!reader.ReadInt32(type)) return false;
    if (!keep || keep(type)) types.insert(type);
  }
  return true;
}

}  // namespace

bool DecodePacketSummary(VReader& reader, VPacketSummary& summary, bool (*keep)(int32_t)) {
  summary.Pairs.clear();
  summary.CarriedTypes.clear();
  if (!reader.ReadRecords(summary.Pairs)) return false;
  uint32_t types = 0;
  if (!reader.ReadCount(types, TypeNumberBytes)) return false;
  return ReadTypeNumbers(reader, types, summary.CarriedTypes, keep);
}

bool DecodeObjectTypeList(VReader& reader, std::set<int32_t>& types, bool (*keep)(int32_t)) {
  uint32_t count = 0;
  if (!reader.ReadCount(count, TypeNumberBytes)) return false;
  types.clear();
  return ReadTypeNumbers(reader, count, types, keep);
}

namespace {

// The inner list an element hands to the spare lists when its container is
// emptied for reuse, and takes back from them when it is appended: the
// poses of a pose group, the samples of a device output. Other elements
// keep no list worth handing on.
template <class Element>
void GiveSpare(Element&, VSpareLists&) {}
void GiveSpare(VSegmentPoses& group, VSpareLists& spare) { spare.Poses.push_back(std::move(group.Poses)); }
void GiveSpare(VDeviceOutputData& output, VSpareLists& spare) { spare.Samples.push_back(std::move(output.Samples)); }

template <class Inner>
void TakeSpare(Inner& inner, std::vector<Inner>& spare) {
  if (spare.empty()) return;
  inner = std::move(spare.back());
  spare.pop_back();
}
template <class Element>
void TakeSpare(Element&, VSpareLists&) {}
void TakeSpare(VSegmentPoses& group, VSpareLists& spare) { TakeSpare(group.Poses, spare.Poses); }
void TakeSpare(VDeviceOutputData& output, VSpareLists& spare) { TakeSpare(output.Samples, spare.Samples); }

}  // namespace

void EmptyForReuse(VDynamicObjects& objects, VSpareLists& spare) {
  spare.Poses.clear();
  spare.Samples.clear();
  objects.FrameNumber = -1;
  ForEachList([&](auto list) {
    for (auto& element : objects.*list) GiveSpare(element, spare);
    (objects.*list).clear();
  });
}

namespace {

// The room of the inner list an element gives to the spare lists on reuse.
template <class Element>
std::size_t SpareBytes(const Element&) {
  return 0;
}
std::size_t SpareBytes(const VSegmentPoses& group) { return group.Poses.capacity() * sizeof(VSegmentPose); }
std::size_t SpareBytes(const VDeviceOutputData& output) { return output.Samples.capacity() * sizeof(float); }

template <class List>
std::size_t ListBytes(const List& list) {
  std::size_t bytes = list.capacity() * sizeof(typename List::value_type);
  for (const auto& element : list) bytes += SpareBytes(element);
  return bytes;
}

}  // namespace

std::size_t KeptBytes(const VDynamicObjects& objects) {
  std::size_t bytes = 0;
  ForEachList([&](auto list) { bytes += ListBytes(objects.*list); });
  return bytes;
}

std::size_t KeptBytes(const VSpareLists& spare) {
  std::size_t bytes = spare.Poses.capacity() * sizeof(spare.Poses[0]) +
                      spare.Samples.capacity() * sizeof(spare.Samples[0]);
  for (const auto& poses : spare.Poses) bytes += poses.capacity() * sizeof(VSegmentPose);
  for (const auto& samples : spare.Samples) bytes += samples.capacity() * sizeof(float);
  return bytes;
}

namespace {

// The Rule column: how a decoded object adds to its container member. An
// appended element takes a spare inner list, if one is left; the decoder
// then overwrites its contents whole, so the values are those of a fresh
// element.
template <class Value, class Decode>
bool Overwrite(VReader& reader, Value& value, Decode decode, VSpareLists*) {
  return decode(reader, value);
}

template <class Records, class Decode>
bool Replace(VReader& reader, Records& records, Decode decode, VSpareLists*) {
  return decode(reader, records);
}

template <class Element, class Decode>
bool Append(VReader& reader, std::vector<Element>& list, Decode decode, VSpareLists* spare) {
  Element& element = list.emplace_back();
  if (spare) TakeSpare(element, *spare);
  return decode(reader, element);
}

template <class Element, class Decode>
bool AppendShared(VReader& reader, std::vector<std::shared_ptr<Element>>& list, Decode decode, VSpareLists*) {
  auto element = std::make_shared<Element>();
  list.push_back(element);
  return decode(reader, *element);
}

}  // namespace

bool DecodeDynamicObject(int32_t type, VReader& reader, VDynamicObjects& objects, VSpareLists* spare) {
  // A case for every type the packet reader routes to the dynamic container.
#define QS_DYNAMIC_CASE_Dynamic(Name, Member, Rule, Decoder) \
  case Name:                                                 \
    return Rule(reader, objects.Member, Decoder, spare);
#define QS_DYNAMIC_CASE_Static(...)
#define QS_DYNAMIC_CASE_Summary(...)
#define QS_DYNAMIC_CASE_Skipped(...)
#define QS_DYNAMIC_CASE(Name, Number, Route, Holder, Member, Rule, Decoder, ...) \
  QS_DYNAMIC_CASE_##Route(Name, Member, Rule, Decoder)
  switch (type) {
    QS_OBJECT_TYPES(QS_DYNAMIC_CASE)
    default:
      return false;
  }
#undef QS_DYNAMIC_CASE
#undef QS_DYNAMIC_CASE_Skipped
#undef QS_DYNAMIC_CASE_Summary
#undef QS_DYNAMIC_CASE_Static
#undef QS_DYNAMIC_CASE_Dynamic
}

}  // namespace LumoraQSStream
