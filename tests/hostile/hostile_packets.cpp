#include "hostile/hostile_packets.h"

#include <functional>
#include <limits>
#include <set>

#include "streamio/limits.h"
#include "streamio/object_types.h"

namespace QSHostile {

using namespace LumoraQSStream;
using LumoraQSServe::EncodeFrameNumber;
using LumoraQSServe::EncodeObject;
using LumoraQSServe::EncodeRawObject;
using LumoraQSServe::EncodePacket;
using LumoraQSServe::EncodePacketWith;
using LumoraQSServe::VWireBuffer;

namespace {

constexpr int32_t Max = std::numeric_limits<int32_t>::max();
constexpr EEndReason OutOfRange = EEndReason::LengthOutOfRange;

// The poison frame number, then the hostile object.
VBytes Poisoned(const VBytes& object) { return EncodePacket({EncodeFrameNumber(PoisonFrame), object}); }

VBytes Zeros(std::size_t n) { return VBytes(n, 0); }

void AddCountCases(std::vector<VHostileCase>& cases, const std::string& what, int32_t type,
                   const std::function<VBytes(int32_t)>& payload) {
  for (int32_t count : {Max, -1}) {
    cases.push_back({what + (count < 0 ? "_count_minus_1" : "_count_2p31_minus_1"),
                     Poisoned(EncodeObject(type, payload(count)))});
  }
}

}  // namespace

VBytes ScenePacket(int32_t frameNumber) {
  VSubjectInfo hero;
  hero.SubjectID = 1;
  hero.Name = "Hero";
  VSegmentInfo root;
  root.SegmentID = 10;
  root.Name = "Root";
  VSegmentInfo arm;
  arm.SegmentID = 11;
  arm.Name = "Arm";
  hero.Segments = {root, arm};
  hero.Markers = {VMarkerInfo{20, "Tip"}};
  return EncodePacket({LumoraQSServe::EncodeSubjectInfo(hero), EncodeFrameNumber(frameNumber)});
}

VBytes FramePacket(int32_t frameNumber) { return EncodePacket({EncodeFrameNumber(frameNumber)}); }

std::vector<VHostileCase> RejectedDataPackets() {
  std::vector<VHostileCase> cases;
  const VBytes body = Poisoned(EncodeFrameNumber(PoisonFrame));
  const VBytes payload(body.begin() + 8, body.end());

  // ---- Framing ----
  cases.push_back({"payload_length_2p31_minus_1", EncodePacketWith(PacketMagic, {payload}, Max), OutOfRange});
  cases.push_back({"payload_length_minus_1", EncodePacketWith(PacketMagic, {payload}, -1), OutOfRange});
  cases.push_back({"payload_length_most_negative",
                   EncodePacketWith(PacketMagic, {payload}, std::numeric_limits<int32_t>::min()), OutOfRange});
  cases.push_back({"payload_length_above_bound",
                   EncodePacketWith(PacketMagic, {payload},
                                    static_cast<int32_t>(LumoraQSStreamIO::MaxPacketPayload + 1)),
                   OutOfRange});
  cases.push_back({"wrong_magic", EncodePacketWith(0x4D3C2B1A, {payload}), EEndReason::BadMagic});
  cases.push_back({"zero_magic", EncodePacketWith(0, {payload}), EEndReason::BadMagic});
  // A subject announcing 1000 bytes of which the payload holds a few: its
  // name runs past the packet end.
  cases.push_back({"object_content_past_payload",
                   Poisoned(EncodeRawObject(SubjectInfo, VWireBuffer().Int32(1).Int32(50).Raw(Zeros(4)).Take(), 1000))});
  cases.push_back({"object_length_negative_content_short",
                   Poisoned(EncodeRawObject(DeviceInfo, VWireBuffer().Int32(3).Take(), -7))});

  // ---- Counts at 2^31-1 and -1, each followed by one element's worth ----
  AddCountCases(cases, "marker_positions", MarkerPositions,
                [](int32_t n) { return VWireBuffer().Int32(n).Raw(Zeros(112)).Take(); });
  AddCountCases(cases, "marker_records", MarkerRecords,
                [](int32_t n) { return VWireBuffer().Int32(n).Raw(Zeros(104)).Take(); });
  AddCountCases(cases, "segments", SubjectInfo, [](int32_t n) {
    return VWireBuffer().Int32(1).String("S").Int32(n).Int32(0).Int32(10).Raw(Zeros(24)).String("Seg").Take();
  });
  AddCountCases(cases, "markers", SubjectInfo, [](int32_t n) {
    return VWireBuffer().Int32(1).String("S").Int32(0).Int32(n).Int32(20).String("M").Take();
  });
  AddCountCases(cases, "pairs", SubjectInfo, [](int32_t n) {
    return VWireBuffer().Int32(1).String("S").Int32(0).Int32(0).Int32(n).Raw(Zeros(8)).Take();
  });
  AddCountCases(cases, "component_names", DeviceOutputInfo, [](int32_t n) {
    return VWireBuffer().Int32(5).Int32(1).String("Force").Int32(n).String("Fx").Take();
  });
  AddCountCases(cases, "samples", ForceData, [](int32_t n) {
    return VWireBuffer().Int32(0).Int32(5).Int32(1).Int32(n).Float(1.0f).Take();
  });
  AddCountCases(cases, "voltage_samples", VoltageData, [](int32_t n) {
    return VWireBuffer().Int32(0).Int32(5).Int32(2).Int32(n).Float(1.0f).Take();
  });
  AddCountCases(cases, "segment_poses", GlobalSegmentPoses,
                [](int32_t n) { return VWireBuffer().Int32(1).Int32(n).Raw(Zeros(104)).Take(); });
  AddCountCases(cases, "block_records", BlockData,
                [](int32_t n) { return VWireBuffer().Int32(0).Int32(0).Int32(n).Raw(Zeros(32)).Take(); });
  AddCountCases(cases, "short_records", ShortRecordData,
                [](int32_t n) { return VWireBuffer().Int32(0).Int32(0).Int32(n).Raw(Zeros(6)).Take(); });
  AddCountCases(cases, "chunk_groups", ChunkData,
                [](int32_t n) { return VWireBuffer().Int32(0).Int32(0).Int32(n).Int32(0).Take(); });
  AddCountCases(cases, "chunks", ChunkData, [](int32_t n) {
    return VWireBuffer().Int32(0).Int32(0).Int32(1).Int32(n).UInt16(1).UInt16(2).UInt16(0).Take();
  });
  AddCountCases(cases, "video_data_length", VideoFrame, [](int32_t n) {
    return VWireBuffer().Int32(0).Int32(0).UInt16(0).UInt16(0).UInt16(4).UInt16(2).Int32(3).Int32(n).Raw(Zeros(8)).Take();
  });
  AddCountCases(cases, "summary_pairs", PacketSummary,
                [](int32_t n) { return VWireBuffer().Int32(n).Int32(1).Int32(2).Int32(0).Take(); });
  AddCountCases(cases, "summary_types", PacketSummary,
                [](int32_t n) { return VWireBuffer().Int32(0).Int32(n).Int32(5).Take(); });

  // ---- String lengths ----
  for (int32_t length : {-1, Max}) {
    const std::string suffix = length < 0 ? "_minus_1" : "_2p31_minus_1";
    cases.push_back({"subject_name_length" + suffix,
                     Poisoned(EncodeObject(SubjectInfo, VWireBuffer().Int32(1).Int32(length).Raw(Zeros(16)).Take()))});
    cases.push_back({"segment_name_length" + suffix,
                     Poisoned(EncodeObject(SubjectInfo, VWireBuffer().Int32(1).String("S").Int32(1).Int32(0).Int32(10)
                                                            .Raw(Zeros(24)).Int32(length).Raw(Zeros(16)).Take()))});
    cases.push_back({"device_name_length" + suffix,
                     Poisoned(EncodeObject(DeviceInfo, VWireBuffer().Int32(5).Int64(0).Int32(length).Raw(Zeros(8)).Take()))});
    cases.push_back({"component_name_length" + suffix,
                     Poisoned(EncodeObject(DeviceOutputInfo, VWireBuffer().Int32(5).Int32(1).String("F").Int32(1)
                                                                 .Int32(length).Raw(Zeros(8)).Take()))});
  }

  // ---- Objects that overlap: each decoder reads 16 KiB past its declared
  // end, 2000 times over (32 MiB from a 64 KiB payload) ----
  for (LumoraQSServe::VOverlappingShape& shape : LumoraQSServe::OverlappingShapes(2000, 16 * 1024)) {
    shape.Objects.insert(shape.Objects.begin(), EncodeFrameNumber(PoisonFrame));
    cases.push_back({shape.Name, EncodePacket(shape.Objects)});
  }
  return cases;
}

std::vector<VHostileCase> RejectedHandshakes() {
  using LumoraQSServe::EncodeObjectTypeList;
  const VBytes list = EncodeObjectTypeList(std::set<int32_t>{1, 2, 3, 4, 5});
  std::vector<VHostileCase> cases;
  cases.push_back({"handshake_wrong_magic", EncodePacketWith(0x11223344, {list}), EEndReason::BadMagic});
  cases.push_back({"handshake_payload_length_2p31_minus_1", EncodePacketWith(PacketMagic, {list}, Max), OutOfRange});
  cases.push_back({"handshake_payload_length_minus_1", EncodePacketWith(PacketMagic, {list}, -1), OutOfRange});
  cases.push_back({"handshake_without_type_list", EncodePacket({EncodeFrameNumber(1), LumoraQSServe::EncodeStreamInfo(2)})});
  cases.push_back({"handshake_type_count_2p31_minus_1",
                   EncodePacket({EncodeObject(ObjectTypeList, VWireBuffer().Int32(Max).Int32(1).Take())})});
  cases.push_back({"handshake_type_count_minus_1",
                   EncodePacket({EncodeObject(ObjectTypeList, VWireBuffer().Int32(-1).Int32(1).Take())})});
  cases.push_back({"handshake_empty_payload", EncodePacket({})});
  return cases;
}

std::vector<VToleratedCase> ToleratedDataPackets() {
  std::vector<VToleratedCase> cases;
  // A decoded object with a negative length: the decoder reads its value and
  // the next object starts where the decoder stopped.
  cases.push_back({"frame_number_length_negative",
                   EncodePacket({EncodeRawObject(FrameNumber, VWireBuffer().Int32(7).Take(), -1)}), 7});
  // A skipped object with a negative length: the next object header follows
  // its own header directly.
  cases.push_back({"skipped_object_length_negative",
                   EncodePacket({EncodeRawObject(OtherSegmentPoses, {}, -8), EncodeFrameNumber(8)}), 8});
  cases.push_back({"skipped_object_length_most_negative",
                   EncodePacket({EncodeRawObject(Reserved15, {}, std::numeric_limits<int32_t>::min()),
                                 EncodeFrameNumber(18)}),
                   18});
  // An object whose declared end lies past the payload ends the object loop;
  // what it decoded is delivered.
  cases.push_back({"object_end_past_payload",
                   EncodePacket({EncodeRawObject(FrameNumber, VWireBuffer().Int32(9).Take(), 1000)}), 9});
  cases.push_back({"object_length_2p31_minus_1",
                   EncodePacket({EncodeRawObject(FrameNumber, VWireBuffer().Int32(19).Take(), Max)}), 19});
  // Length 0 on a decoded type: the decoder reads the bytes that follow.
  cases.push_back({"frame_number_length_zero",
                   EncodePacket({EncodeRawObject(FrameNumber, VWireBuffer().Int32(10).Take(), 0)}), 10});
  // One to three bytes after the last object cannot hold an object type.
  VBytes trailing = EncodePacket({EncodeFrameNumber(11), VBytes{1, 2, 3}});
  cases.push_back({"three_trailing_bytes", trailing, 11});
  // Video frames whose size disagrees with their data are carried as they
  // came (conversion is off through the exports).
  LumoraQSStream::VVideoFrame small;
  small.Width = 640;
  small.Height = 480;
  small.Format = 3;
  small.Data.assign(10, 7);
  LumoraQSStream::VVideoFrame large;
  large.Width = 2;
  large.Height = 2;
  large.Format = 5;
  large.Data.assign(100, 9);
  LumoraQSStream::VVideoFrame empty;
  empty.Width = 65535;
  empty.Height = 65535;
  empty.Format = 2;
  cases.push_back({"video_sizes_disagree_with_data",
                   EncodePacket({LumoraQSServe::EncodeVideoFrame(small), LumoraQSServe::EncodeVideoFrame(large),
                                 LumoraQSServe::EncodeVideoFrame(empty), EncodeFrameNumber(12)}),
                   12});
  return cases;
}

}  // namespace QSHostile
