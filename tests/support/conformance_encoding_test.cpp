// Encodes the worked examples of the conformance set with the server-side
// encoders and compares them byte for byte with the packets given there.
//
// Packets are rebuilt from the decoded values the set expects, not from
// their bytes: for every object of a packet the next value of its type is
// taken from the expected containers. Packets with deliberately odd framing,
// or whose objects do not survive in the decode (overwritten values,
// carried-over types, skipped types, rejected packets), are rebuilt by hand
// from the case's description; where such a packet holds a value that the
// decode does not show, the value is written out below with a note.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "serve/wire_encoder.h"
#include "testing/capture_server.h"
#include "testing/wire_bytes.h"
#include "tests/conformance/conformance_file.h"
#include "tests/conformance/conformance_mapping.h"

namespace {

using nlohmann::json;
using namespace LumoraQSServe;
using namespace LumoraQSStream;

// The conformance set's hex text as bytes ('' for text that is not hex).
VBytes FromHex(const std::string& hex) {
  VBytes bytes;
  if (!QSTesting::FromHex(hex, bytes)) bytes.clear();
  return bytes;
}

using QSTesting::Conformance;
using QSTesting::FromConformanceJson;
using QSTesting::ToHex;

#define REQUIRE_CONFORMANCE()                                                                  \
  ASSERT_TRUE(Conformance().is_object() && Conformance().contains("packet_cases"))             \
      << "conformance file missing or unreadable: " << QS_CONFORMANCE_PACKETS

const json& CaseNamed(const char* group, const std::string& name) {
  for (const json& c : Conformance().at(group)) {
    if (c.at("name") == name) return c;
  }
  throw std::runtime_error(std::string("no case ") + name);
}

// ---- Expected values to payload classes -------------------------------------

VSubjectInfo SubjectFrom(const json& j) { return FromConformanceJson<VSubjectInfo>(j); }
VDeviceInfo DeviceFrom(const json& j) { return FromConformanceJson<VDeviceInfo>(j); }
VDeviceOutputData OutputDataFrom(const json& j) { return FromConformanceJson<VDeviceOutputData>(j); }
VRecordArray<VMarkerPosition> MarkerPositionsFrom(const json& list) {
  return FromConformanceJson<VRecordArray<VMarkerPosition>>(list);
}

// ---- Rebuilding a packet from its expected decode -----------------------------

// The object types of a packet in order, read from the framing alone (type
// and length fields); the payload bytes are not looked at.
std::vector<int32_t> ObjectTypesOf(const VBytes& packet) { return QSTesting::WalkObjects(packet).Types; }

// Hands out the expected values of one packet object by object, in packet
// order, and knows afterwards whether every value was used exactly once.
class VExpectedObjects {
 public:
  explicit VExpectedObjects(const json& expected) : Expected_(expected) {}

  VBytes Next(int32_t type) {
    const json& st = Expected_.at("static");
    const json& dy = Expected_.at("dynamic");
    switch (type) {
      case StreamInfo:
        Once(type);
        return EncodeStreamInfo(st.at("stream_value").get<int64_t>());
      case SubjectInfo:
        return EncodeSubjectInfo(SubjectFrom(Take(st, "subjects")));
      case DeviceInfo:
        return EncodeDeviceInfo(DeviceFrom(Take(st, "devices")));
      case DeviceOutputInfo:
        return EncodeDeviceOutputInfo(FromConformanceJson<VDeviceOutputInfo>(Take(st, "device_outputs")));
      case NamedVectorInfo:
        return EncodeNamedVectorInfo(FromConformanceJson<VNamedVectorInfo>(Take(st, "named_vectors")));
      case NamedParameterInfo:
        return EncodeNamedParameterInfo(FromConformanceJson<VNamedParameterInfo>(Take(st, "named_parameters")));
      case WordBlockInfo:
        return EncodeWordBlockInfo(FromConformanceJson<VWordBlockInfo>(Take(st, "word_blocks")));
      case FrameNumber:
        Once(type);
        return EncodeFrameNumber(dy.at("frame_number").get<int32_t>());
      case MarkerPositions:
        Once(type);
        Used_["marker_positions"] = dy.at("marker_positions").size();
        return EncodeMarkerPositions(MarkerPositionsFrom(dy.at("marker_positions")));
      case MarkerRecords:
        Once(type);
        Used_["marker_records"] = dy.at("marker_records").size();
        return EncodeMarkerRecords(FromConformanceJson<VRecordArray<VMarkerRecord>>(dy.at("marker_records")));
      case GlobalSegmentPoses:
        return EncodeGlobalSegmentPoses(FromConformanceJson<VSegmentPoses>(Take(dy, "global_segment_poses")));
      case ForceData:
        return EncodeForceData(OutputDataFrom(Take(dy, "forces")));
      case MomentData:
        return EncodeMomentData(OutputDataFrom(Take(dy, "moments")));
      case CentreOfPressureData:
        return EncodeCentreOfPressureData(OutputDataFrom(Take(dy, "centres_of_pressure")));
      case VoltageData:
        return EncodeVoltageData(OutputDataFrom(Take(dy, "voltages")));
      case BlockData:
        return EncodeBlockData(FromConformanceJson<VBlockData>(Take(dy, "block_data")));
      case ChunkData:
        return EncodeChunkData(FromConformanceJson<VChunkData>(Take(dy, "chunk_data")));
      case ShortRecordData:
        return EncodeShortRecordData(FromConformanceJson<VShortRecordData>(Take(dy, "short_record_data")));
      case VideoFrame:
        return EncodeVideoFrame(FromConformanceJson<VVideoFrame>(Take(dy, "video_frames")));
      default:
        throw std::runtime_error("type " + std::to_string(type) + " is not part of a decoded container");
    }
  }

  // Every list entry of the expected containers was used for an object.
  void ExpectAllUsed() const {
    for (const char* side : {"static", "dynamic"}) {
      const json& container = Expected_.at(side);
      if (container.is_null()) continue;
      for (const auto& item : container.items()) {
        if (!item.value().is_array()) continue;
        const auto used = Used_.find(item.key());
        const std::size_t count = used == Used_.end() ? 0 : used->second;
        EXPECT_EQ(count, item.value().size()) << "expected " << item.key() << " not all encoded";
      }
    }
  }

 private:
  const json& Take(const json& container, const char* key) {
    std::size_t& index = Used_[key];
    return container.at(key).at(index++);
  }
  void Once(int32_t type) {
    if (!Single_.insert(type).second) throw std::runtime_error("value of type " + std::to_string(type) + " overwritten");
  }

  const json& Expected_;
  std::map<std::string, std::size_t> Used_;
  std::set<int32_t> Single_;
};

// Rebuilds packet `index` of a case entirely from its expected decode.
VBytes FromExpected(const json& packetCase, std::size_t index) {
  const json& packet = packetCase.at("packets").at(index);
  VExpectedObjects expected(packet.at("expected"));
  std::vector<VBytes> objects;
  for (int32_t type : ObjectTypesOf(FromHex(packet.at("hex")))) objects.push_back(expected.Next(type));
  expected.ExpectAllUsed();
  return EncodePacket(objects);
}

const json& Expected(const json& packetCase, std::size_t index, const char* side) {
  return packetCase.at("packets").at(index).at("expected").at(side);
}

// Cases whose packets are rebuilt from their expected decode alone.
const std::set<std::string> kFromExpectedCases = {
    "empty_payload",       "subject_minimal",          "subject_full",          "two_subjects_in_order",
    "device_info_and_outputs", "named_vector_info",    "named_parameter_info",  "word_block_info",
    "frame_number_only",   "device_and_frame",         "marker_positions",      "marker_records",
    "global_segment_poses", "device_output_data",      "block_and_short_records", "chunk_data",
    "video_frames",
};

using VCaseBuilder = std::function<std::vector<VBytes>(const json&)>;

// Takes the bytes of a buffer built in one expression.
VBytes Bytes(VWireBuffer& buffer) { return buffer.Take(); }

VBytes Repeated(uint8_t value, std::size_t count) { return VBytes(count, value); }

VBytes Join(VBytes a, const VBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Cases rebuilt by hand from their descriptions.
const std::map<std::string, VCaseBuilder>& HandBuiltCases() {
  static const std::map<std::string, VCaseBuilder> cases = {
      {"stream_info_last_wins",
       [](const json& c) {
         // The first, overwritten value does not survive in the decode; the
         // case uses all bits set (-1).
         return std::vector<VBytes>{EncodePacket(
             {EncodeStreamInfo(-1), EncodeStreamInfo(Expected(c, 0, "static").at("stream_value").get<int64_t>())})};
       }},
      {"marker_positions_replaced",
       [](const json& c) {
         // First a one-record list (the first record of the marker_positions
         // case), then the list that replaces it.
         const json& first = Expected(CaseNamed("packet_cases", "marker_positions"), 0, "dynamic").at("marker_positions");
         return std::vector<VBytes>{EncodePacket(
             {EncodeMarkerPositions(MarkerPositionsFrom(json::array({first.at(0)}))),
              EncodeMarkerPositions(MarkerPositionsFrom(Expected(c, 0, "dynamic").at("marker_positions")))})};
       }},
      {"skipped_and_unknown_types",
       [](const json&) {
         // A segment pose group under the skipped type 8, five bytes under
         // each unknown or reserved number, and the two request-only types.
         VSegmentPose pose{};
         pose.SegmentID = 1;
         pose.Reserved = {0, 0, 0, 0};
         pose.Translation = {1.0, 2.0, 3.0};
         pose.Rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
         const VBytes filler{1, 2, 3, 4, 5};
         return std::vector<VBytes>{EncodePacket({EncodeGlobalSegmentPoses({1, {pose}}, OtherSegmentPoses),
                                                  EncodeObject(Reserved15, filler), EncodeObject(Reserved21, filler),
                                                  EncodeObject(23, filler), EncodeObject(0, filler),
                                                  EncodeObject(-3, filler), EncodeObjectTypeList(std::set<int32_t>{1}),
                                                  EncodeStreamMode(0)})};
       }},
      {"zero_length_skipped_object",
       [](const json& c) {
         return std::vector<VBytes>{EncodePacket(
             {EncodeRawObject(Reserved21, {}, 0),
              EncodeFrameNumber(Expected(c, 0, "dynamic").at("frame_number").get<int32_t>())})};
       }},
      {"object_longer_than_decoded",
       [](const json& c) {
         // Both objects declare more bytes than their payload uses; the
         // unused bytes are filler (0xEE).
         const int32_t frame = Expected(c, 0, "dynamic").at("frame_number").get<int32_t>();
         const VSubjectInfo subject = SubjectFrom(Expected(c, 0, "static").at("subjects").at(0));
         return std::vector<VBytes>{
             EncodePacket({EncodeObject(FrameNumber, Join(FrameNumberPayload(frame), Repeated(0xee, 8))),
                           EncodeObject(SubjectInfo, Join(SubjectInfoPayload(subject), Repeated(0xee, 2)))})};
       }},
      {"zero_length_decoded_object",
       [](const json& c) {
         // DeviceInfo declared with length 0, its payload following anyway.
         const VDeviceInfo device = DeviceFrom(Expected(c, 0, "static").at("devices").at(0));
         return std::vector<VBytes>{
             EncodePacket({EncodeRawObject(DeviceInfo, DeviceInfoPayload(device), 0),
                           EncodeFrameNumber(Expected(c, 0, "dynamic").at("frame_number").get<int32_t>())})};
       }},
      {"declared_end_beyond_payload",
       [](const json& c) {
         return std::vector<VBytes>{EncodePacket(
             {EncodeSubjectInfo(SubjectFrom(Expected(c, 0, "static").at("subjects").at(0))),
              EncodeRawObject(FrameNumber,
                              FrameNumberPayload(Expected(c, 0, "dynamic").at("frame_number").get<int32_t>()),
                              1000)})};
       }},
      // Rejected packets deliver nothing, so their values come from the
      // descriptions (the rejected frame numbers are 1 in these cases).
      {"wrong_magic",
       [](const json&) { return std::vector<VBytes>{EncodePacketWith(0x1A2B3C4E, {EncodeFrameNumber(1)})}; }},
      {"negative_string_length",
       [](const json&) {
         return std::vector<VBytes>{EncodePacket(
             {EncodeFrameNumber(1),
              EncodeObject(SubjectInfo, Bytes(VWireBuffer().Int32(1).Int32(-1).Raw("abcd", 4)))})};
       }},
      {"string_beyond_payload",
       [](const json&) {
         return std::vector<VBytes>{EncodePacket(
             {EncodeObject(DeviceInfo, Bytes(VWireBuffer().Int32(1).Int64(0).Int32(100).Raw("short", 5)))})};
       }},
      {"record_count_overflow",
       [](const json&) {
         const uint32_t count = 38347923;
         // The count is chosen so that count x 112 wraps to 80 in 32 bits.
         EXPECT_EQ(static_cast<uint32_t>(count * 112u), 80u);
         return std::vector<VBytes>{EncodePacket(
             {EncodeObject(MarkerPositions, Join(Bytes(VWireBuffer().UInt32(count)), Repeated(0, 112)))})};
       }},
      {"samples_beyond_payload",
       [](const json&) {
         VWireBuffer force;
         force.Int32(0).Int32(0).Int32(0).Int32(5);
         for (int i = 0; i < 4; ++i) force.Float(1.0f);
         return std::vector<VBytes>{
             EncodePacket({EncodeDeviceInfo({1, 0, "D"}), EncodeObject(ForceData, force.Take())})};
       }},
      {"carry_subjects",
       [](const json& c) {
         // The second packet's own subject is replaced by the carried one and
         // so is not in the decode: id 2, "Beta", nothing else.
         VSubjectInfo own;
         own.SubjectID = 2;
         own.Name = "Beta";
         EXPECT_EQ(Expected(c, 1, "static").at("subjects"), Expected(c, 0, "static").at("subjects"));
         return std::vector<VBytes>{
             FromExpected(c, 0),
             EncodePacket({EncodePacketSummary({{1, 2}, {3, 4}}, {SubjectInfo, SubjectInfo}), EncodeSubjectInfo(own),
                           EncodeFrameNumber(Expected(c, 1, "dynamic").at("frame_number").get<int32_t>())})};
       }},
      {"carry_force_never",
       [](const json& c) {
         const json& dynamic = Expected(c, 1, "dynamic");
         return std::vector<VBytes>{
             FromExpected(c, 0),
             EncodePacket({EncodePacketSummary({}, {ForceData}), EncodeForceData(OutputDataFrom(dynamic.at("forces").at(0))),
                           EncodeFrameNumber(dynamic.at("frame_number").get<int32_t>())})};
       }},
      {"carry_fills_absent_types",
       [](const json& c) {
         return std::vector<VBytes>{
             FromExpected(c, 0),
             // The summary lists the two types as 3, then 2.
             EncodePacket({EncodePacketSummary({}, {DeviceInfo, SubjectInfo}),
                           EncodeStreamInfo(Expected(c, 1, "static").at("stream_value").get<int64_t>()),
                           EncodeFrameNumber(Expected(c, 1, "dynamic").at("frame_number").get<int32_t>())})};
       }},
      {"carry_in_first_packet",
       [](const json& c) {
         return std::vector<VBytes>{
             EncodePacket({EncodePacketSummary({}, {SubjectInfo, FrameNumber}),
                           EncodeSubjectInfo(SubjectFrom(Expected(c, 0, "static").at("subjects").at(0))),
                           EncodeFrameNumber(Expected(c, 0, "dynamic").at("frame_number").get<int32_t>())})};
       }},
      {"carry_last_summary_wins",
       [](const json& c) {
         // The second summary lists no type; its pair (5, 6) is not used.
         return std::vector<VBytes>{
             FromExpected(c, 0),
             EncodePacket({EncodePacketSummary({}, {SubjectInfo}),
                           EncodeSubjectInfo(SubjectFrom(Expected(c, 1, "static").at("subjects").at(0))),
                           EncodePacketSummary({{5, 6}}, {})})};
       }},
      {"carry_dynamic",
       [](const json& c) {
         // The second packet's own frame number (201) and empty marker list
         // are replaced by the carried ones.
         EXPECT_EQ(Expected(c, 1, "dynamic").at("frame_number"), Expected(c, 0, "dynamic").at("frame_number"));
         return std::vector<VBytes>{FromExpected(c, 0),
                                    EncodePacket({EncodePacketSummary({}, {FrameNumber, MarkerPositions}),
                                                  EncodeFrameNumber(201), EncodeMarkerPositions({})})};
       }},
  };
  return cases;
}

TEST(ConformanceEncoding, EveryPacketCaseIsReproduced) {
  REQUIRE_CONFORMANCE();
  for (const json& c : Conformance().at("packet_cases")) {
    const std::string name = c.at("name");
    SCOPED_TRACE(name);
    const bool generic = kFromExpectedCases.count(name) > 0;
    const auto hand = HandBuiltCases().find(name);
    ASSERT_TRUE(generic || hand != HandBuiltCases().end()) << "case " << name << " has no reproduction";
    std::vector<VBytes> built;
    if (generic) {
      for (std::size_t i = 0; i < c.at("packets").size(); ++i) built.push_back(FromExpected(c, i));
    } else {
      built = hand->second(c);
    }
    ASSERT_EQ(built.size(), c.at("packets").size());
    for (std::size_t i = 0; i < built.size(); ++i) {
      EXPECT_EQ(ToHex(built[i]), c.at("packets").at(i).at("hex").get<std::string>()) << "packet " << i;
    }
  }
}

TEST(ConformanceEncoding, HandshakePackets) {
  REQUIRE_CONFORMANCE();
  const std::map<std::string, std::function<VBytes(const json&)>> builders = {
      {"offered_types",
       [](const json& c) {
         return EncodePacket({EncodeObjectTypeList(c.at("offered_types").get<std::set<int32_t>>())});
       }},
      {"other_objects_first",
       [](const json& c) {
         // The list on the wire is 3, 1, 1; the offered set collapses it.
         const std::vector<int32_t> wire{3, 1, 1};
         EXPECT_EQ(std::set<int32_t>(wire.begin(), wire.end()), c.at("offered_types").get<std::set<int32_t>>());
         return EncodePacket({EncodeFrameNumber(1), EncodeRawObject(Reserved21, {}, 0), EncodeObjectTypeList(wire)});
       }},
      {"empty_type_list",
       [](const json& c) {
         return EncodePacket({EncodeObjectTypeList(c.at("offered_types").get<std::set<int32_t>>())});
       }},
      {"no_type_list", [](const json&) { return EncodePacket({EncodeFrameNumber(1)}); }},
      {"truncated_type_list",
       [](const json&) {
         return EncodePacket({EncodeObject(ObjectTypeList, Bytes(VWireBuffer().Int32(3).Int32(1).Int32(2)))});
       }},
  };
  for (const json& c : Conformance().at("handshake_cases")) {
    const std::string name = c.at("name");
    SCOPED_TRACE(name);
    const auto builder = builders.find(name);
    ASSERT_NE(builder, builders.end()) << "handshake case " << name << " has no reproduction";
    EXPECT_EQ(ToHex(builder->second(c)), c.at("hex").get<std::string>());
  }
}

TEST(ConformanceEncoding, RequestPacketsAndTheirDecoding) {
  REQUIRE_CONFORMANCE();
  for (const json& c : Conformance().at("request_cases")) {
    const std::string name = c.at("name");
    SCOPED_TRACE(name);
    const json& state = c.at("state");
    const auto types = state.at("requested_types").get<std::set<int32_t>>();
    const bool typesChanged = state.at("types_changed").get<bool>();
    const bool modeChanged = state.at("mode_changed").get<bool>();
    const auto mode = state.at("stream_mode").get<uint8_t>();
    const std::string hex = c.at("hex");

    // A request holds the set when it changed and the mode when it is 0 or
    // changed; with neither, nothing is sent.
    const bool sendTypes = typesChanged;
    const bool sendMode = mode == 0 || modeChanged;
    if (!sendTypes && !sendMode) {
      EXPECT_EQ(hex, "");
      continue;
    }
    const VBytes built = EncodeRequest(sendTypes ? std::optional<std::set<int32_t>>(types) : std::nullopt,
                                       sendMode ? std::optional<uint8_t>(mode) : std::nullopt);
    EXPECT_EQ(ToHex(built), hex);

    // The server's request reader finds the same state in the given bytes.
    const VRecordedRequest decoded = DecodeRequestPacket(FromHex(hex));
    EXPECT_TRUE(decoded.WellFormed);
    EXPECT_EQ(decoded.HasTypeList, sendTypes);
    if (sendTypes) {
      EXPECT_EQ(decoded.Types, types);
      EXPECT_EQ(decoded.TypesInWireOrder, std::vector<int32_t>(types.begin(), types.end()));
    }
    EXPECT_EQ(decoded.HasStreamMode, sendMode);
    if (sendMode) {
      EXPECT_EQ(decoded.StreamMode, mode);
    }
  }
}

}  // namespace
