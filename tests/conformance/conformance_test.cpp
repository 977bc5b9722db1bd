// The capture-stream conformance set, case by case: data packets through
// VPacketReader::ReadPacket, handshakes through ReadHandshake and requests
// through BuildRequest. Each decoded container is turned into the file's
// JSON form (conformance_mapping.h) and compared key by key and value by
// value; a key the file has and the mapping does not produce (or the other
// way round) fails.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "stream/packet_reader.h"
#include "stream/requests.h"
#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"
#include "testing/memory_reader_writer.h"
#include "tests/conformance/conformance_file.h"
#include "tests/conformance/conformance_mapping.h"

using nlohmann::json;
using namespace LumoraQSStream;
using QSTesting::VMemoryReader;
using QSTesting::VMemoryWriter;

namespace {

// --- Exact comparison ----------------------------------------------------------

// Keys whose null in the file means "not fixed": the comparison skips them.
bool NullMeansNotFixed(const std::string& key) {
  return key == "stream_value" || key == "frame_number";
}

bool SameNumber(const json& expected, const json& actual) {
  if (expected.is_number_float() || actual.is_number_float()) {
    const double a = expected.get<double>();
    const double b = actual.get<double>();
    return a == b && std::signbit(a) == std::signbit(b);
  }
  // Integers: compare sign and magnitude, whatever their signedness.
  auto split = [](const json& value, bool& negative, uint64_t& magnitude) {
    if (value.is_number_unsigned()) {
      negative = false;
      magnitude = value.get<uint64_t>();
    } else {
      const int64_t signedValue = value.get<int64_t>();
      negative = signedValue < 0;
      magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(signedValue)
                           : static_cast<uint64_t>(signedValue);
    }
  };
  bool negativeA = false, negativeB = false;
  uint64_t magnitudeA = 0, magnitudeB = 0;
  split(expected, negativeA, magnitudeA);
  split(actual, negativeB, magnitudeB);
  return negativeA == negativeB && magnitudeA == magnitudeB;
}

void Compare(const json& expected, const json& actual, const std::string& path,
             std::vector<std::string>& errors) {
  auto fail = [&](const std::string& what) {
    errors.push_back(path + ": " + what + " (expected " + expected.dump() + ", decoded " +
                     actual.dump() + ")");
  };
  if (expected.is_object()) {
    if (!actual.is_object()) return fail("not an object");
    for (const auto& item : expected.items()) {
      const std::string child = path + "." + item.key();
      if (!actual.contains(item.key())) {
        errors.push_back(child + ": key in the file that the comparer does not know");
        continue;
      }
      if (item.value().is_null() && NullMeansNotFixed(item.key())) continue;
      Compare(item.value(), actual.at(item.key()), child, errors);
    }
    for (const auto& item : actual.items()) {
      if (!expected.contains(item.key())) {
        errors.push_back(path + "." + item.key() + ": decoded key missing from the file");
      }
    }
    return;
  }
  if (expected.is_array()) {
    if (!actual.is_array()) return fail("not an array");
    if (expected.size() != actual.size()) {
      return fail("length " + std::to_string(actual.size()) + " instead of " +
                  std::to_string(expected.size()));
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
      Compare(expected[i], actual[i], path + "[" + std::to_string(i) + "]", errors);
    }
    return;
  }
  if (expected.is_number()) {
    if (!actual.is_number()) return fail("not a number");
    if (!SameNumber(expected, actual)) fail("different value");
    return;
  }
  if (expected.is_string()) {
    if (!actual.is_string() || expected.get<std::string>() != actual.get<std::string>()) {
      fail("different text");
    }
    return;
  }
  if (expected.is_boolean()) {
    if (!actual.is_boolean() || expected.get<bool>() != actual.get<bool>()) fail("different flag");
    return;
  }
  if (expected.is_null()) {
    if (!actual.is_null()) fail("present, expected none");
    return;
  }
  fail("unsupported JSON value");
}

std::string Joined(const std::vector<std::string>& errors) {
  std::string text;
  for (const std::string& error : errors) text += "\n  " + error;
  return text;
}

// Fails for any key of `entry` outside `known`.
void ExpectOnlyKeys(const json& entry, const std::set<std::string>& known, const std::string& where) {
  ASSERT_TRUE(entry.is_object()) << where << " is not an object";
  for (const auto& item : entry.items()) {
    EXPECT_TRUE(known.count(item.key())) << where << ": unknown key '" << item.key() << "'";
  }
}

// --- Running a packet case -----------------------------------------------------

struct PacketRun {
  std::vector<json> Decoded;   // one per packet read, in the file's "expected" form
  std::vector<std::string> Errors;  // framing faults found while reading
};

// Feeds every packet of the case, in order, to one fresh packet reader; stops
// after the first rejected packet.
PacketRun RunPacketCase(const json& entry) {
  PacketRun run;
  std::vector<std::vector<uint8_t>> packets;
  for (const json& packet : entry.at("packets")) {
    std::vector<uint8_t> bytes;
    if (!QSTesting::FromHex(packet.at("hex").get<std::string>(), bytes)) {
      run.Errors.push_back("packet hex is not hex");
      return run;
    }
    packets.push_back(bytes);
  }
  VMemoryReader reader;
  for (const auto& bytes : packets) reader.Append(bytes);
  VPacketReader packetReader;
  std::size_t laterBytes = reader.Unread();
  for (std::size_t i = 0; i < packets.size(); ++i) {
    laterBytes -= packets[i].size();
    VPacketDelivery delivery;
    const bool accepted = static_cast<bool>(packetReader.ReadPacket(reader, /*convertVideo=*/false, delivery));
    json decoded = json::object();
    decoded["accepted"] = accepted;
    decoded["static"] = delivery.Static ? QSTesting::ToConformanceJson(*delivery.Static) : json(nullptr);
    decoded["dynamic"] = delivery.Dynamic ? QSTesting::ToConformanceJson(*delivery.Dynamic) : json(nullptr);
    run.Decoded.push_back(decoded);
    if (reader.Unread() != laterBytes) {
      run.Errors.push_back("packet " + std::to_string(i) + " left " +
                           std::to_string(reader.Unread()) + " bytes unread instead of " +
                           std::to_string(laterBytes) + " (it must take exactly its own bytes)");
    }
    if (delivery.Dynamic && !delivery.Dynamic->OtherSegmentPoses.empty()) {
      run.Errors.push_back("packet " + std::to_string(i) + " filled OtherSegmentPoses");
    }
    if (!accepted) break;  // the connection ends: later packets are never read
  }
  return run;
}

class PacketCases : public ::testing::TestWithParam<std::string> {};

TEST_P(PacketCases, DecodesExactlyAsListed) {
  const json* found = QSTesting::FindCase("packet_cases", GetParam());
  ASSERT_NE(found, nullptr) << QSTesting::MissingCaseMessage("packet_cases", GetParam());
  const json& entry = *found;
  SCOPED_TRACE(entry.value("description", std::string()));
  ExpectOnlyKeys(entry, {"name", "description", "packets", "note"}, "case");
  ASSERT_TRUE(entry.at("packets").is_array());
  ASSERT_FALSE(entry.at("packets").empty());
  for (const json& packet : entry.at("packets")) {
    ExpectOnlyKeys(packet, {"hex", "expected"}, "packet");
  }

  const PacketRun run = RunPacketCase(entry);
  EXPECT_TRUE(run.Errors.empty()) << Joined(run.Errors);

  const json& packets = entry.at("packets");
  std::size_t expectedReads = 0;
  for (const json& packet : packets) {
    ++expectedReads;
    if (!packet.at("expected").at("accepted").get<bool>()) break;
  }
  ASSERT_EQ(run.Decoded.size(), expectedReads) << "packets read";
  for (std::size_t i = 0; i < run.Decoded.size(); ++i) {
    std::vector<std::string> errors;
    Compare(packets[i].at("expected"), run.Decoded[i], "packet[" + std::to_string(i) + "]", errors);
    EXPECT_TRUE(errors.empty()) << Joined(errors);
  }
}

INSTANTIATE_TEST_SUITE_P(Conformance, PacketCases,
                         ::testing::ValuesIn(QSTesting::CaseNames("packet_cases")),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return QSTesting::ParamName(info.param);
                         });

// The comparison itself must be able to fail: changing any single value of
// an expected decode, dropping or adding a list element, or adding an
// unknown key must each make it report a difference.
void CollectMutations(const json& node, const json::json_pointer& at, const std::string& key,
                      std::vector<std::pair<json::json_pointer, json>>& out) {
  if (node.is_object()) {
    json extended = node;
    extended["unknown_key"] = 1;
    out.emplace_back(at, extended);
    for (const auto& item : node.items()) {
      CollectMutations(item.value(), at / item.key(), item.key(), out);
    }
  } else if (node.is_array()) {
    json shorter = node;
    if (shorter.empty()) {
      shorter.push_back(0);
    } else {
      shorter.erase(shorter.size() - 1);
    }
    out.emplace_back(at, shorter);
    for (std::size_t i = 0; i < node.size(); ++i) CollectMutations(node[i], at / i, key, out);
  } else if (node.is_number_float()) {
    out.emplace_back(at, std::nextafter(node.get<double>(), HUGE_VAL));
  } else if (node.is_number_unsigned()) {
    out.emplace_back(at, node.get<uint64_t>() + 1);
  } else if (node.is_number_integer()) {
    out.emplace_back(at, node.get<int64_t>() - 1);
  } else if (node.is_string()) {
    std::string text = node.get<std::string>();
    if (text.empty()) {
      text = "0";
    } else {
      text.back() = text.back() == '0' ? '1' : '0';  // one hex digit or letter changed
    }
    out.emplace_back(at, text);
  } else if (node.is_boolean()) {
    out.emplace_back(at, !node.get<bool>());
  } else if (node.is_null() && !NullMeansNotFixed(key)) {
    out.emplace_back(at, json::object());
  }
}

TEST(ConformanceComparer, EverySingleChangeToAnExpectedDecodeIsCaught) {
  const json& document = QSTesting::Conformance();
  ASSERT_TRUE(document.contains("packet_cases")) << QSTesting::MissingCaseMessage("packet_cases", "");
  // Each expected decode serves as its own "decoded" side here, so this
  // checks the comparison alone, whatever the decoder does.
  std::size_t mutations = 0;
  for (const json& entry : document.at("packet_cases")) {
    for (std::size_t i = 0; i < entry.at("packets").size(); ++i) {
      const json& expected = entry.at("packets")[i].at("expected");
      std::vector<std::string> baseline;
      Compare(expected, expected, "", baseline);
      EXPECT_TRUE(baseline.empty()) << Joined(baseline);
      std::vector<std::pair<json::json_pointer, json>> changes;
      CollectMutations(expected, json::json_pointer(), "", changes);
      for (const auto& change : changes) {
        json mutated = expected;
        mutated[change.first] = change.second;
        std::vector<std::string> errors;
        Compare(mutated, expected, "", errors);
        ++mutations;
        EXPECT_FALSE(errors.empty()) << entry.at("name") << " packet " << i << ": change at "
                                     << change.first.to_string() << " to " << change.second.dump()
                                     << " went unnoticed";
      }
    }
  }
  EXPECT_GT(mutations, 1000u);
}

// --- Handshakes ----------------------------------------------------------------

class HandshakeCases : public ::testing::TestWithParam<std::string> {};

TEST_P(HandshakeCases, OfferedTypesAsListed) {
  const json* found = QSTesting::FindCase("handshake_cases", GetParam());
  ASSERT_NE(found, nullptr) << QSTesting::MissingCaseMessage("handshake_cases", GetParam());
  const json& entry = *found;
  SCOPED_TRACE(entry.value("description", std::string()));
  ExpectOnlyKeys(entry, {"name", "description", "hex", "accepted", "offered_types"}, "case");

  std::vector<uint8_t> bytes;
  ASSERT_TRUE(QSTesting::FromHex(entry.at("hex").get<std::string>(), bytes));
  VMemoryReader reader(bytes);
  VPacketReader packetReader;
  const bool accepted = static_cast<bool>(packetReader.ReadHandshake(reader));
  EXPECT_EQ(accepted, entry.at("accepted").get<bool>());
  EXPECT_EQ(reader.Unread(), 0u) << "the handshake packet must be read whole";

  const json& offered = entry.at("offered_types");
  if (offered.is_null()) {
    EXPECT_FALSE(entry.at("accepted").get<bool>()) << "offered_types null for an accepted case";
    return;
  }
  json decoded = json::array();
  for (int32_t type : packetReader.OfferedTypes()) decoded.push_back(type);
  std::vector<std::string> errors;
  Compare(offered, decoded, "offered_types", errors);
  EXPECT_TRUE(errors.empty()) << Joined(errors);
}

INSTANTIATE_TEST_SUITE_P(Conformance, HandshakeCases,
                         ::testing::ValuesIn(QSTesting::CaseNames("handshake_cases")),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return QSTesting::ParamName(info.param);
                         });

// --- Requests --------------------------------------------------------------------

class RequestCases : public ::testing::TestWithParam<std::string> {};

TEST_P(RequestCases, BuildsTheListedBytes) {
  const json* found = QSTesting::FindCase("request_cases", GetParam());
  ASSERT_NE(found, nullptr) << QSTesting::MissingCaseMessage("request_cases", GetParam());
  const json& entry = *found;
  SCOPED_TRACE(entry.value("description", std::string()));
  ExpectOnlyKeys(entry, {"name", "description", "state", "hex"}, "case");
  const json& stateJson = entry.at("state");
  ExpectOnlyKeys(stateJson, {"requested_types", "types_changed", "mode_changed", "stream_mode"},
                 "state");

  VRequestState state;
  for (const json& type : stateJson.at("requested_types")) state.RequestedTypes.insert(type.get<int32_t>());
  state.TypesChanged = stateJson.at("types_changed").get<bool>();
  state.ModeChanged = stateJson.at("mode_changed").get<bool>();
  state.StreamMode = stateJson.at("stream_mode").get<uint8_t>();
  const std::set<int32_t> requested = state.RequestedTypes;

  VMemoryWriter writer;
  const bool built = BuildRequest(writer, state);
  const std::string expected = entry.at("hex").get<std::string>();
  if (expected.empty()) {
    EXPECT_FALSE(built);
    EXPECT_EQ(writer.Position(), 0u);
    EXPECT_TRUE(writer.Bytes().empty());
    EXPECT_FALSE(writer.Flush());
    EXPECT_TRUE(writer.Sent.empty());
  } else {
    EXPECT_TRUE(built);
    EXPECT_TRUE(writer.Flush());
    EXPECT_EQ(writer.WriteSizes.size(), 1u);
    EXPECT_EQ(QSTesting::ToHex(writer.Sent.data(), writer.Sent.size()), expected);
  }
  EXPECT_FALSE(state.TypesChanged);
  EXPECT_FALSE(state.ModeChanged);
  EXPECT_EQ(state.RequestedTypes, requested);
  EXPECT_EQ(state.StreamMode, stateJson.at("stream_mode").get<uint8_t>());
}

INSTANTIATE_TEST_SUITE_P(Conformance, RequestCases,
                         ::testing::ValuesIn(QSTesting::CaseNames("request_cases")),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return QSTesting::ParamName(info.param);
                         });

// --- The file itself ---------------------------------------------------------------

TEST(ConformanceFile, IsPresentAndHasEverySection) {
  std::string error;
  const json& document = QSTesting::Conformance(&error);
  ASSERT_TRUE(error.empty()) << error;
  ExpectOnlyKeys(document, {"format_version", "packet_cases", "handshake_cases", "request_cases"},
                 "file");
  EXPECT_EQ(document.at("format_version"), 1);
  for (const char* section : {"packet_cases", "handshake_cases", "request_cases"}) {
    ASSERT_TRUE(document.contains(section)) << section;
    EXPECT_FALSE(document.at(section).empty()) << section;
    std::set<std::string> names;
    for (const json& entry : document.at(section)) {
      EXPECT_TRUE(names.insert(entry.at("name").get<std::string>()).second)
          << "duplicate case name " << entry.at("name");
    }
  }
}

}  // namespace
