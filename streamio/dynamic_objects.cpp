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

bool DecodePacketSummary(VReader& reader, VPacketSummary& summary) {
  summary.Pairs.clear();
  summary.CarriedTypes.clear();
  if (!reader.ReadRecords(summary.Pairs)) return false;
  uint32_t types = 0;
  if (!reader.ReadCount(types, TypeNumberBytes)) return false;
  for (uint32_t i = 0; i < types; ++i) {
    int32_t type = 0;
    if (!reader.ReadInt32(type)) return false;
    summary.CarriedTypes.insert(type);
  }
  return true;
}

bool DecodeObjectTypeList(VReader& reader, std::set<int32_t>& types) {
  uint32_t count = 0;
  if (!reader.ReadCount(count, TypeNumberBytes)) return false;
  types.clear();
  for (uint32_t i = 0; i < count; ++i) {
    int32_t type = 0;
    if (!reader.ReadInt32(type)) return false;
    types.insert(type);
  }
  return true;
}

bool DecodeDynamicObject(int32_t type, VReader& reader, VDynamicObjects& objects) {
  switch (type) {
    case FrameNumber:
      return DecodeFrameNumber(reader, objects.FrameNumber);
    case MarkerPositions:
      return DecodeMarkerPositions(reader, objects.MarkerPositions);
    case MarkerRecords:
      return DecodeMarkerRecords(reader, objects.MarkerRecords);
    case GlobalSegmentPoses:
      return DecodeSegmentPoses(reader, objects.GlobalSegmentPoses.emplace_back());
    case ForceData:
      return DecodeDeviceOutputData(reader, objects.Forces.emplace_back());
    case MomentData:
      return DecodeDeviceOutputData(reader, objects.Moments.emplace_back());
    case CentreOfPressureData:
      return DecodeDeviceOutputData(reader, objects.CentresOfPressure.emplace_back());
    case VoltageData:
      return DecodeDeviceOutputData(reader, objects.Voltages.emplace_back());
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
