// Server-side encoders of the capture stream's wire format.
//
// These build the bytes a capture server sends: complete objects (type,
// length, payload) for every object type and whole packets around them. They
// are written straight from the field layouts and share no code with the
// client's decoders, so that the two sides check each other. Besides the
// well-formed encoders there are raw builders (any type, any bytes, any
// declared length, any magic) for hostile-peer tests.
//
// Everything here is independent of any scene; a simulator composes scenes
// out of these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"

namespace LumoraQSServe {

using VBytes = std::vector<uint8_t>;

// Little-endian byte builder. Every value is written byte by byte with
// shifts, so the result does not depend on the host's byte order.
class VWireBuffer {
 public:
  VWireBuffer& Byte(uint8_t value);
  VWireBuffer& Int16(int16_t value);
  VWireBuffer& UInt16(uint16_t value);
  VWireBuffer& Int32(int32_t value);
  VWireBuffer& UInt32(uint32_t value);
  VWireBuffer& Int64(int64_t value);
  VWireBuffer& Float(float value);
  VWireBuffer& Double(double value);
  // 32-bit length, then the bytes of the text; no terminator.
  VWireBuffer& String(const std::string& text);
  VWireBuffer& Raw(const void* data, std::size_t size);
  VWireBuffer& Raw(const VBytes& bytes);
  // Overwrites four bytes at `offset` (which must lie within the buffer).
  void PatchInt32(std::size_t offset, int32_t value);

  std::size_t Size() const { return Bytes_.size(); }
  const VBytes& Bytes() const { return Bytes_; }
  VBytes Take() { return std::move(Bytes_); }

 private:
  VBytes Bytes_;
};

// ---- Payloads (the bytes after an object's length field) -------------------

VBytes StreamInfoPayload(int64_t streamValue);
VBytes SubjectInfoPayload(const LumoraQSStream::VSubjectInfo& subject);
VBytes DeviceInfoPayload(const LumoraQSStream::VDeviceInfo& device);
VBytes DeviceOutputInfoPayload(const LumoraQSStream::VDeviceOutputInfo& output);
VBytes NamedVectorInfoPayload(const LumoraQSStream::VNamedVectorInfo& info);
VBytes NamedParameterInfoPayload(const LumoraQSStream::VNamedParameterInfo& info);
VBytes WordBlockInfoPayload(const LumoraQSStream::VWordBlockInfo& info);
VBytes FrameNumberPayload(int32_t frameNumber);
VBytes MarkerPositionsPayload(const LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerPosition>& positions);
VBytes MarkerRecordsPayload(const LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerRecord>& records);
VBytes SegmentPosesPayload(const LumoraQSStream::VSegmentPoses& poses);
VBytes DeviceOutputDataPayload(const LumoraQSStream::VDeviceOutputData& data);
VBytes BlockDataPayload(const LumoraQSStream::VBlockData& data);
VBytes ChunkDataPayload(const LumoraQSStream::VChunkData& data);
VBytes ShortRecordDataPayload(const LumoraQSStream::VShortRecordData& data);
VBytes VideoFramePayload(const LumoraQSStream::VVideoFrame& frame);
// Pairs, then the type numbers exactly as given (order and duplicates kept).
VBytes PacketSummaryPayload(const std::vector<std::pair<int32_t, int32_t>>& pairs,
                            const std::vector<int32_t>& carriedTypes);
// A count, then the type numbers exactly as given.
VBytes TypeListPayload(const std::vector<int32_t>& types);

// ---- Complete objects ------------------------------------------------------

// Type, length of `payload`, payload.
VBytes EncodeObject(int32_t type, const VBytes& payload);
// Type, `declaredLength` (whatever it is), payload: for objects whose length
// field disagrees with their content.
VBytes EncodeRawObject(int32_t type, const VBytes& payload, int32_t declaredLength);

VBytes EncodeStreamInfo(int64_t streamValue);
VBytes EncodeSubjectInfo(const LumoraQSStream::VSubjectInfo& subject);
VBytes EncodeDeviceInfo(const LumoraQSStream::VDeviceInfo& device);
VBytes EncodeDeviceOutputInfo(const LumoraQSStream::VDeviceOutputInfo& output);
VBytes EncodeNamedVectorInfo(const LumoraQSStream::VNamedVectorInfo& info);
VBytes EncodeNamedParameterInfo(const LumoraQSStream::VNamedParameterInfo& info);
VBytes EncodeWordBlockInfo(const LumoraQSStream::VWordBlockInfo& info);
VBytes EncodeFrameNumber(int32_t frameNumber);
VBytes EncodeMarkerPositions(const LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerPosition>& positions);
VBytes EncodeMarkerRecords(const LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerRecord>& records);
// Type 9; `type` may name 8 to build the skipped variant of the same layout.
VBytes EncodeGlobalSegmentPoses(const LumoraQSStream::VSegmentPoses& poses,
                                int32_t type = LumoraQSStream::GlobalSegmentPoses);
// Any of types 10 to 13.
VBytes EncodeDeviceOutputData(int32_t type, const LumoraQSStream::VDeviceOutputData& data);
VBytes EncodeForceData(const LumoraQSStream::VDeviceOutputData& data);
VBytes EncodeMomentData(const LumoraQSStream::VDeviceOutputData& data);
VBytes EncodeCentreOfPressureData(const LumoraQSStream::VDeviceOutputData& data);
VBytes EncodeVoltageData(const LumoraQSStream::VDeviceOutputData& data);
VBytes EncodeBlockData(const LumoraQSStream::VBlockData& data);
VBytes EncodeChunkData(const LumoraQSStream::VChunkData& data);
VBytes EncodeShortRecordData(const LumoraQSStream::VShortRecordData& data);
VBytes EncodeVideoFrame(const LumoraQSStream::VVideoFrame& frame);
VBytes EncodePacketSummary(const std::vector<std::pair<int32_t, int32_t>>& pairs,
                           const std::vector<int32_t>& carriedTypes);
VBytes EncodePacketSummary(const LumoraQSStream::VPacketSummary& summary);
// Ascending, without duplicates (what a well-behaved peer sends).
VBytes EncodeObjectTypeList(const std::set<int32_t>& types);
// In the given order, duplicates kept (for odd handshakes).
VBytes EncodeObjectTypeList(const std::vector<int32_t>& typesInWireOrder);
VBytes EncodeStreamMode(uint8_t mode);

// ---- Packets ---------------------------------------------------------------

// Magic 0x1A2B3C4D, payload length, the objects back to back.
VBytes EncodePacket(const std::vector<VBytes>& objects);
// The same with a chosen magic and, if given, a payload length that need not
// match the bytes that follow.
VBytes EncodePacketWith(int32_t magic, const std::vector<VBytes>& objects,
                        std::optional<int32_t> declaredPayloadLength = std::nullopt);

// ---- Overlapping objects (hostile) -------------------------------------------

// `count` objects of `type`, each holding `head` and declaring exactly its
// length, then an object of an unknown type holding `tailBytes` zero bytes
// whose declared length runs one byte past them (past the payload when it
// ends the packet). A decoder that reads beyond its object's declared end
// reads the objects after it, and the next object starts at that declared
// end again: the same bytes are decoded over and over.
std::vector<VBytes> EncodeOverlappingObjects(int32_t type, const VBytes& head, std::size_t count,
                                             std::size_t tailBytes);

struct VOverlappingShape {
  std::string Name;
  std::vector<VBytes> Objects;
};

// One chain of `count` overlapping objects for each kind of list a decoder
// fills, every object reading `readBytes` past its own end: a dynamic kind
// that appends (voltage samples), one that replaces its list (marker
// positions) and a static kind (device names).
std::vector<VOverlappingShape> OverlappingShapes(std::size_t count, std::size_t readBytes);

// A client request: an ObjectTypeList when `types` is given, then a
// StreamMode object when `mode` is given. Neither given: an empty packet.
VBytes EncodeRequest(const std::optional<std::set<int32_t>>& types,
                     std::optional<uint8_t> mode);

// Concatenation, for scripts that send several packets in one write.
VBytes Concat(const std::vector<VBytes>& parts);

}  // namespace LumoraQSServe
