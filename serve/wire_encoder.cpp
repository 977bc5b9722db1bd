#include "serve/wire_encoder.h"

#include <cstring>
#include <stdexcept>

namespace LumoraQSServe {

using namespace LumoraQSStream;

namespace {

int32_t LengthOf(std::size_t size) {
  // Length fields are signed 32-bit; nothing a test or simulator builds
  // comes near that, so a larger payload is a programming error.
  if (size > 0x7fffffffu) throw std::length_error("object or packet over 2 GiB");
  return static_cast<int32_t>(size);
}

}  // namespace

// ---- VWireBuffer -----------------------------------------------------------

VWireBuffer& VWireBuffer::Byte(uint8_t value) {
  Bytes_.push_back(value);
  return *this;
}

VWireBuffer& VWireBuffer::UInt16(uint16_t value) {
  Bytes_.push_back(static_cast<uint8_t>(value & 0xffu));
  Bytes_.push_back(static_cast<uint8_t>((value >> 8) & 0xffu));
  return *this;
}

VWireBuffer& VWireBuffer::Int16(int16_t value) { return UInt16(static_cast<uint16_t>(value)); }

VWireBuffer& VWireBuffer::UInt32(uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) Bytes_.push_back(static_cast<uint8_t>((value >> shift) & 0xffu));
  return *this;
}

VWireBuffer& VWireBuffer::Int32(int32_t value) { return UInt32(static_cast<uint32_t>(value)); }

VWireBuffer& VWireBuffer::Int64(int64_t value) {
  const uint64_t bits = static_cast<uint64_t>(value);
  for (int shift = 0; shift < 64; shift += 8) Bytes_.push_back(static_cast<uint8_t>((bits >> shift) & 0xffu));
  return *this;
}

VWireBuffer& VWireBuffer::Float(float value) {
  static_assert(sizeof(float) == 4, "binary32");
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return UInt32(bits);
}

VWireBuffer& VWireBuffer::Double(double value) {
  static_assert(sizeof(double) == 8, "binary64");
  int64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return Int64(bits);
}

VWireBuffer& VWireBuffer::String(const std::string& text) {
  Int32(LengthOf(text.size()));
  return Raw(text.data(), text.size());
}

VWireBuffer& VWireBuffer::Raw(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  Bytes_.insert(Bytes_.end(), bytes, bytes + size);
  return *this;
}

VWireBuffer& VWireBuffer::Raw(const VBytes& bytes) { return Raw(bytes.data(), bytes.size()); }

void VWireBuffer::PatchInt32(std::size_t offset, int32_t value) {
  if (offset + 4 > Bytes_.size()) throw std::out_of_range("PatchInt32 beyond the buffer");
  const uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) Bytes_[offset + i] = static_cast<uint8_t>((bits >> (8 * i)) & 0xffu);
}

// ---- Payloads --------------------------------------------------------------

VBytes StreamInfoPayload(int64_t streamValue) { return VWireBuffer().Int64(streamValue).Take(); }

VBytes SubjectInfoPayload(const VSubjectInfo& subject) {
  VWireBuffer out;
  out.Int32(subject.SubjectID).String(subject.Name);
  out.Int32(LengthOf(subject.Segments.size()));
  for (const VSegmentInfo& segment : subject.Segments) {
    out.Int32(segment.Value0).Int32(segment.SegmentID);
    for (uint32_t word : segment.Values) out.UInt32(word);
    out.String(segment.Name);
  }
  out.Int32(LengthOf(subject.Markers.size()));
  for (const VMarkerInfo& marker : subject.Markers) out.Int32(marker.MarkerID).String(marker.Name);
  out.Int32(LengthOf(subject.Pairs.size()));
  for (const VPairRecord& pair : subject.Pairs) out.UInt32(pair.First).UInt32(pair.Second);
  return out.Take();
}

VBytes DeviceInfoPayload(const VDeviceInfo& device) {
  return VWireBuffer().Int32(device.DeviceID).Int64(device.Value0).String(device.Name).Take();
}

VBytes DeviceOutputInfoPayload(const VDeviceOutputInfo& output) {
  VWireBuffer out;
  out.Int32(output.DeviceID).Int32(output.OutputID).String(output.Name);
  out.Int32(LengthOf(output.ComponentNames.size()));
  for (const std::string& name : output.ComponentNames) out.String(name);
  return out.Take();
}

VBytes NamedVectorInfoPayload(const VNamedVectorInfo& info) {
  VWireBuffer out;
  out.Int32(info.ID).Int64(info.Value0).String(info.Name);
  for (double value : info.Vector) out.Double(value);
  return out.Take();
}

VBytes NamedParameterInfoPayload(const VNamedParameterInfo& info) {
  VWireBuffer out;
  out.Int32(info.ID).String(info.Name);
  for (double value : info.Parameters) out.Double(value);
  return out.Take();
}

VBytes WordBlockInfoPayload(const VWordBlockInfo& info) {
  VWireBuffer out;
  out.Int32(info.Value0);
  for (uint32_t word : info.Words) out.UInt32(word);
  return out.Take();
}

VBytes FrameNumberPayload(int32_t frameNumber) { return VWireBuffer().Int32(frameNumber).Take(); }

VBytes MarkerPositionsPayload(const VRecordArray<VMarkerPosition>& positions) {
  VWireBuffer out;
  out.Int32(LengthOf(positions.size()));
  for (const VMarkerPosition& record : positions) {
    // 112 bytes: ids at 0 and 4, reserved at 8, position at 16, trailing at 40.
    out.Int32(record.SubjectID).Int32(record.MarkerID);
    out.Raw(record.Reserved.data(), record.Reserved.size());
    for (double value : record.Position) out.Double(value);
    for (double value : record.Trailing) out.Double(value);
  }
  return out.Take();
}

VBytes MarkerRecordsPayload(const VRecordArray<VMarkerRecord>& records) {
  VWireBuffer out;
  out.Int32(LengthOf(records.size()));
  for (const VMarkerRecord& record : records) out.Raw(record.Bytes.data(), record.Bytes.size());
  return out.Take();
}

VBytes SegmentPosesPayload(const VSegmentPoses& poses) {
  VWireBuffer out;
  out.Int32(poses.SubjectID).Int32(LengthOf(poses.Poses.size()));
  for (const VSegmentPose& pose : poses.Poses) {
    // 104 bytes: id at 0, reserved at 4, translation at 8, rotation at 32.
    out.Int32(pose.SegmentID);
    out.Raw(pose.Reserved.data(), pose.Reserved.size());
    for (double value : pose.Translation) out.Double(value);
    for (double value : pose.Rotation) out.Double(value);
  }
  return out.Take();
}

VBytes DeviceOutputDataPayload(const VDeviceOutputData& data) {
  VWireBuffer out;
  out.Int32(data.Value0).Int32(data.DeviceID).Int32(data.OutputID);
  out.Int32(LengthOf(data.Samples.size()));
  for (float sample : data.Samples) out.Float(sample);
  return out.Take();
}

VBytes BlockDataPayload(const VBlockData& data) {
  VWireBuffer out;
  out.Int32(data.Value0).Int32(data.Value1).Int32(LengthOf(data.Blocks.size()));
  for (const VBlockRecord& block : data.Blocks) out.Raw(block.Bytes.data(), block.Bytes.size());
  return out.Take();
}

VBytes ChunkDataPayload(const VChunkData& data) {
  VWireBuffer out;
  out.Int32(data.Value0).Int32(data.Value1).Int32(LengthOf(data.Groups.size()));
  for (const std::vector<VChunk>& group : data.Groups) {
    out.Int32(LengthOf(group.size()));
    for (const VChunk& chunk : group) {
      // The length field is 16 bits wide: a longer chunk cannot be encoded.
      if (chunk.Bytes.size() > 0xffffu) throw std::length_error("chunk over 65535 bytes");
      out.UInt16(chunk.Value0).UInt16(chunk.Value1).UInt16(static_cast<uint16_t>(chunk.Bytes.size()));
      out.Raw(chunk.Bytes.data(), chunk.Bytes.size());
    }
  }
  return out.Take();
}

VBytes ShortRecordDataPayload(const VShortRecordData& data) {
  VWireBuffer out;
  out.Int32(data.Value0).Int32(data.Value1).Int32(LengthOf(data.Records.size()));
  for (const VShortRecord& record : data.Records) out.Raw(record.Bytes.data(), record.Bytes.size());
  return out.Take();
}

VBytes VideoFramePayload(const VVideoFrame& frame) {
  VWireBuffer out;
  out.Int32(frame.Value0).Int32(frame.Value1);
  out.UInt16(frame.Value2).UInt16(frame.Value3).UInt16(frame.Width).UInt16(frame.Height);
  out.Int32(frame.Format).Int32(LengthOf(frame.Data.size()));
  out.Raw(frame.Data.data(), frame.Data.size());
  return out.Take();
}

VBytes PacketSummaryPayload(const std::vector<std::pair<int32_t, int32_t>>& pairs,
                            const std::vector<int32_t>& carriedTypes) {
  VWireBuffer out;
  out.Int32(LengthOf(pairs.size()));
  for (const auto& pair : pairs) out.Int32(pair.first).Int32(pair.second);
  out.Int32(LengthOf(carriedTypes.size()));
  for (int32_t type : carriedTypes) out.Int32(type);
  return out.Take();
}

VBytes TypeListPayload(const std::vector<int32_t>& types) {
  VWireBuffer out;
  out.Int32(LengthOf(types.size()));
  for (int32_t type : types) out.Int32(type);
  return out.Take();
}

// ---- Objects ---------------------------------------------------------------

VBytes EncodeRawObject(int32_t type, const VBytes& payload, int32_t declaredLength) {
  VWireBuffer out;
  out.Int32(type).Int32(declaredLength).Raw(payload);
  return out.Take();
}

VBytes EncodeObject(int32_t type, const VBytes& payload) {
  return EncodeRawObject(type, payload, LengthOf(payload.size()));
}

VBytes EncodeStreamInfo(int64_t streamValue) { return EncodeObject(StreamInfo, StreamInfoPayload(streamValue)); }
VBytes EncodeSubjectInfo(const VSubjectInfo& subject) { return EncodeObject(SubjectInfo, SubjectInfoPayload(subject)); }
VBytes EncodeDeviceInfo(const VDeviceInfo& device) { return EncodeObject(DeviceInfo, DeviceInfoPayload(device)); }
VBytes EncodeDeviceOutputInfo(const VDeviceOutputInfo& output) {
  return EncodeObject(DeviceOutputInfo, DeviceOutputInfoPayload(output));
}
VBytes EncodeNamedVectorInfo(const VNamedVectorInfo& info) {
  return EncodeObject(NamedVectorInfo, NamedVectorInfoPayload(info));
}
VBytes EncodeNamedParameterInfo(const VNamedParameterInfo& info) {
  return EncodeObject(NamedParameterInfo, NamedParameterInfoPayload(info));
}
VBytes EncodeWordBlockInfo(const VWordBlockInfo& info) { return EncodeObject(WordBlockInfo, WordBlockInfoPayload(info)); }
VBytes EncodeFrameNumber(int32_t frameNumber) { return EncodeObject(FrameNumber, FrameNumberPayload(frameNumber)); }
VBytes EncodeMarkerPositions(const VRecordArray<VMarkerPosition>& positions) {
  return EncodeObject(MarkerPositions, MarkerPositionsPayload(positions));
}
VBytes EncodeMarkerRecords(const VRecordArray<VMarkerRecord>& records) {
  return EncodeObject(MarkerRecords, MarkerRecordsPayload(records));
}
VBytes EncodeGlobalSegmentPoses(const VSegmentPoses& poses, int32_t type) {
  return EncodeObject(type, SegmentPosesPayload(poses));
}
VBytes EncodeDeviceOutputData(int32_t type, const VDeviceOutputData& data) {
  return EncodeObject(type, DeviceOutputDataPayload(data));
}
VBytes EncodeForceData(const VDeviceOutputData& data) { return EncodeDeviceOutputData(ForceData, data); }
VBytes EncodeMomentData(const VDeviceOutputData& data) { return EncodeDeviceOutputData(MomentData, data); }
VBytes EncodeCentreOfPressureData(const VDeviceOutputData& data) {
  return EncodeDeviceOutputData(CentreOfPressureData, data);
}
VBytes EncodeVoltageData(const VDeviceOutputData& data) { return EncodeDeviceOutputData(VoltageData, data); }
VBytes EncodeBlockData(const VBlockData& data) { return EncodeObject(BlockData, BlockDataPayload(data)); }
VBytes EncodeChunkData(const VChunkData& data) { return EncodeObject(ChunkData, ChunkDataPayload(data)); }
VBytes EncodeShortRecordData(const VShortRecordData& data) {
  return EncodeObject(ShortRecordData, ShortRecordDataPayload(data));
}
VBytes EncodeVideoFrame(const VVideoFrame& frame) { return EncodeObject(VideoFrame, VideoFramePayload(frame)); }

VBytes EncodePacketSummary(const std::vector<std::pair<int32_t, int32_t>>& pairs,
                           const std::vector<int32_t>& carriedTypes) {
  return EncodeObject(PacketSummary, PacketSummaryPayload(pairs, carriedTypes));
}

VBytes EncodePacketSummary(const VPacketSummary& summary) {
  std::vector<std::pair<int32_t, int32_t>> pairs;
  for (const VSummaryPair& pair : summary.Pairs) pairs.emplace_back(pair.First, pair.Second);
  return EncodePacketSummary(pairs, std::vector<int32_t>(summary.CarriedTypes.begin(), summary.CarriedTypes.end()));
}

VBytes EncodeObjectTypeList(const std::set<int32_t>& types) {
  // std::set iterates in ascending signed order, which is the order on the wire.
  return EncodeObjectTypeList(std::vector<int32_t>(types.begin(), types.end()));
}

VBytes EncodeObjectTypeList(const std::vector<int32_t>& typesInWireOrder) {
  return EncodeObject(ObjectTypeList, TypeListPayload(typesInWireOrder));
}

VBytes EncodeStreamMode(uint8_t mode) { return EncodeObject(StreamMode, VBytes{mode}); }

// ---- Overlapping objects ---------------------------------------------------

std::vector<VBytes> EncodeOverlappingObjects(int32_t type, const VBytes& head, std::size_t count,
                                             std::size_t tailBytes) {
  constexpr int32_t UnknownType = 999;
  std::vector<VBytes> objects(count, EncodeObject(type, head));
  objects.push_back(EncodeRawObject(UnknownType, VBytes(tailBytes, 0), LengthOf(tailBytes + 1)));
  return objects;
}

std::vector<VOverlappingShape> OverlappingShapes(std::size_t count, std::size_t readBytes) {
  const int32_t samples = LengthOf(readBytes / sizeof(float));
  const int32_t positions = LengthOf(readBytes / sizeof(VMarkerPosition));
  return {
      {"overlapping_appending",
       EncodeOverlappingObjects(VoltageData, VWireBuffer().Int32(0).Int32(1).Int32(2).Int32(samples).Take(), count,
                                readBytes)},
      {"overlapping_replacing",
       EncodeOverlappingObjects(MarkerPositions, VWireBuffer().Int32(positions).Take(), count, readBytes)},
      {"overlapping_static",
       EncodeOverlappingObjects(DeviceInfo, VWireBuffer().Int32(1).Int64(0).Int32(LengthOf(readBytes)).Take(), count,
                                readBytes)},
  };
}

// ---- Packets ---------------------------------------------------------------

VBytes EncodePacketWith(int32_t magic, const std::vector<VBytes>& objects,
                        std::optional<int32_t> declaredPayloadLength) {
  VWireBuffer payload;
  for (const VBytes& object : objects) payload.Raw(object);
  VWireBuffer out;
  out.Int32(magic).Int32(declaredPayloadLength ? *declaredPayloadLength : LengthOf(payload.Size()));
  out.Raw(payload.Bytes());
  return out.Take();
}

VBytes EncodePacket(const std::vector<VBytes>& objects) { return EncodePacketWith(PacketMagic, objects); }

VBytes EncodeRequest(const std::optional<std::set<int32_t>>& types, std::optional<uint8_t> mode) {
  std::vector<VBytes> objects;
  if (types) objects.push_back(EncodeObjectTypeList(*types));
  if (mode) objects.push_back(EncodeStreamMode(*mode));
  return EncodePacket(objects);
}

VBytes Concat(const std::vector<VBytes>& parts) {
  VWireBuffer out;
  for (const VBytes& part : parts) out.Raw(part);
  return out.Take();
}

}  // namespace LumoraQSServe
