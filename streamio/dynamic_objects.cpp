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

// Appends a default element to `list`; with a spare inner list left, the
// element takes it (the decoder then overwrites its contents whole).
template <class Element, class Inner>
Element& Append(std::vector<Element>& list, std::vector<Inner>* spare, Inner Element::*inner) {
  Element& element = list.emplace_back();
  if (spare && !spare->empty()) {
    element.*inner = std::move(spare->back());
    spare->pop_back();
  }
  return element;
}

}  // namespace

void EmptyForReuse(VDynamicObjects& objects, VSpareLists& spare) {
  spare.Poses.clear();
  spare.Samples.clear();
  for (auto* groups : {&objects.GlobalSegmentPoses, &objects.OtherSegmentPoses}) {
    for (VSegmentPoses& group : *groups) spare.Poses.push_back(std::move(group.Poses));
    groups->clear();
  }
  for (auto* outputs : {&objects.Forces, &objects.Moments, &objects.CentresOfPressure, &objects.Voltages}) {
    for (VDeviceOutputData& output : *outputs) spare.Samples.push_back(std::move(output.Samples));
    outputs->clear();
  }
  objects.FrameNumber = -1;
  objects.MarkerPositions.clear();
  objects.MarkerRecords.clear();
  objects.BlockDatas.clear();
  objects.ChunkDatas.clear();
  objects.ShortRecordDatas.clear();
  objects.VideoFrames.clear();
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

bool DecodeDynamicObject(int32_t type, VReader& reader, VDynamicObjects& objects, VSpareLists* spare) {
  std::vector<VRecordArray<VSegmentPose>>* sparePoses = spare ? &spare->Poses : nullptr;
  std::vector<VRecordArray<float>>* spareSamples = spare ? &spare->Samples : nullptr;
  switch (type) {
    case FrameNumber:
      return DecodeFrameNumber(reader, objects.FrameNumber);
    case MarkerPositions:
      return DecodeMarkerPositions(reader, objects.MarkerPositions);
    case MarkerRecords:
      return DecodeMarkerRecords(reader, objects.MarkerRecords);
    case GlobalSegmentPoses:
      return DecodeSegmentPoses(reader, Append(objects.GlobalSegmentPoses, sparePoses, &VSegmentPoses::Poses));
    case ForceData:
      return DecodeDeviceOutputData(reader, Append(objects.Forces, spareSamples, &VDeviceOutputData::Samples));
    case MomentData:
      return DecodeDeviceOutputData(reader, Append(objects.Moments, spareSamples, &VDeviceOutputData::Samples));
    case CentreOfPressureData:
      return DecodeDeviceOutputData(reader, Append(objects.CentresOfPressure, spareSamples, &VDeviceOutputData::Samples));
    case VoltageData:
      return DecodeDeviceOutputData(reader, Append(objects.Voltages, spareSamples, &VDeviceOutputData::Samples));
    case BlockData:
      return DecodeBlockData(reader, objects.BlockDatas.emplace_back());
    case ChunkData:
      return DecodeChunkData(reader, objects.ChunkDatas.emplace_back());
    case ShortRecordData:
      return DecodeShortRecordData(reader, objects.ShortRecordDatas.emplace_back());
    case VideoFrame: {
      auto frame = std::make_shared<VVideoFrame>();
      objects.VideoFrames.push_back(frame);
      return DecodeVideoFrame(reader, *frame);
    }
    default:
      return false;
  }
}

}  // namespace LumoraQSStream
