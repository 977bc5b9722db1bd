// VWriter primitives, VWriterSection length slots and Flush, over a
// memory-backed writer; requests of the conformance set built from the
// primitives alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "serve/wire_encoder.h"
#include "streamio/field_at.h"
#include "streamio/object_types.h"
#include "streamio/writer.h"
#include "testing/memory_reader_writer.h"
#include "testing/wire_bytes.h"
#include "tests/conformance/conformance_file.h"

using QSTesting::VMemoryWriter;
using LumoraQSStreamIO::VWriterSection;
using LumoraQSServe::VWireBuffer;
using QSTesting::ToHex;
using LumoraQSStreamIO::Int32At;

namespace {

TEST(Writer, Int32IntoEmptyWriterGrowsToFourBytesLittleEndian) {
  VMemoryWriter writer;
  EXPECT_TRUE(writer.Bytes().empty());
  EXPECT_EQ(writer.Position(), 0u);
  writer.WriteInt32(0x04030201);
  EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(writer.Position(), 4u);
  writer.WriteInt32(-2);
  writer.WriteByte(0x7F);
  EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 0xFE, 0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(writer.Position(), 9u);
  EXPECT_TRUE(writer.Sent.empty());  // nothing leaves before Flush
}

TEST(Writer, BufferHoldsNoMoreThanTheHighestByteWritten) {
  VMemoryWriter writer;
  for (int i = 0; i < 1000; ++i) {
    writer.WriteByte(static_cast<uint8_t>(i));
    ASSERT_EQ(writer.Bytes().size(), static_cast<std::size_t>(i + 1));
  }
  EXPECT_EQ(writer.Bytes()[999], static_cast<uint8_t>(999));
}

TEST(WriterSection, SlotAtOffsetFourReceivesBytesWrittenAfterIt) {
  VMemoryWriter writer;
  {
    VWriterSection section(writer, 0x1A2B3C4D);
    EXPECT_EQ(writer.Position(), 8u);
    EXPECT_EQ(writer.Bytes().size(), 4u);  // the slot is reserved, not written
    writer.WriteInt32(7);
    writer.WriteInt32(9);
  }
  ASSERT_EQ(writer.Bytes().size(), 16u);
  EXPECT_EQ(Int32At(writer.Bytes(), 0), 0x1A2B3C4D);
  EXPECT_EQ(Int32At(writer.Bytes(), 4), 8);
  EXPECT_EQ(Int32At(writer.Bytes(), 8), 7);
  EXPECT_EQ(Int32At(writer.Bytes(), 12), 9);
  EXPECT_EQ(writer.Position(), 16u);
}

TEST(WriterSection, EmptySectionGrowsTheBufferToHoldItsSlot) {
  VMemoryWriter writer;
  { VWriterSection section(writer, 100002); }
  EXPECT_EQ(writer.Bytes(), VWireBuffer().Int32(100002).Int32(0).Bytes());
  EXPECT_EQ(writer.Position(), 8u);
}

TEST(WriterSection, SectionsNest) {
  VMemoryWriter writer;
  {
    VWriterSection packet(writer, 0x1A2B3C4D);
    {
      VWriterSection list(writer, 100001);
      writer.WriteInt32(2);
      writer.WriteInt32(1);
      writer.WriteInt32(5);
    }
    {
      VWriterSection mode(writer, 100002);
      writer.WriteByte(3);
    }
  }
  const std::vector<uint8_t> expected = VWireBuffer()
                                            .Int32(0x1A2B3C4D)
                                            .Int32(12 + 8 + 9)
                                            .Int32(100001)
                                            .Int32(12)
                                            .Int32(2)
                                            .Int32(1)
                                            .Int32(5)
                                            .Int32(100002)
                                            .Int32(1)
                                            .Byte(3)
                                            .Bytes();
  EXPECT_EQ(ToHex(writer.Bytes()), ToHex(expected));
}

TEST(WriterSection, ExplicitCloseThenScopeEndStoresOnce) {
  VMemoryWriter writer;
  {
    VWriterSection section(writer, 1);
    writer.WriteInt32(0);
    section.Close();
    writer.WriteInt32(0);  // after the close: not counted
  }
  EXPECT_EQ(Int32At(writer.Bytes(), 4), 4);
}

TEST(WriterSection, LeavingTheScopeByAnExceptionFillsTheSlot) {
  VMemoryWriter writer;
  try {
    VWriterSection packet(writer, 0x1A2B3C4D);
    writer.WriteInt32(11);
    VWriterSection object(writer, 5);
    writer.WriteByte(1);
    writer.WriteByte(2);
    throw std::runtime_error("abandoned");
  } catch (const std::runtime_error&) {
  }
  ASSERT_EQ(writer.Bytes().size(), 22u);
  EXPECT_EQ(Int32At(writer.Bytes(), 4), 14);  // 11, object header, two bytes
  EXPECT_EQ(Int32At(writer.Bytes(), 12), 5);
  EXPECT_EQ(Int32At(writer.Bytes(), 16), 2);
}

TEST(WriterFlush, SendsExactlyPositionBytesOnceThenEmpty) {
  VMemoryWriter writer;
  {
    VWriterSection section(writer, 0x1A2B3C4D);
    writer.WriteByte(0xAA);
  }
  const std::vector<uint8_t> built = writer.Bytes();
  ASSERT_EQ(writer.Position(), 9u);
  EXPECT_TRUE(writer.Flush());
  EXPECT_EQ(writer.Sent, built);
  EXPECT_EQ(writer.WriteSizes, (std::vector<std::size_t>{9}));
  EXPECT_EQ(writer.Position(), 0u);
  EXPECT_TRUE(writer.Bytes().empty());

  EXPECT_FALSE(writer.Flush());
  EXPECT_EQ(writer.WriteSizes.size(), 1u);
  EXPECT_EQ(writer.Sent, built);

  // The writer is reusable: the next block starts at offset 0.
  writer.WriteInt32(6);
  EXPECT_TRUE(writer.Flush());
  EXPECT_EQ(writer.WriteSizes, (std::vector<std::size_t>{9, 4}));
  EXPECT_EQ(ToHex(writer.Sent), ToHex(built) + "06000000");
}

TEST(WriterFlush, EmptyWriterSendsNothingAndFails) {
  VMemoryWriter writer;
  EXPECT_FALSE(writer.Flush());
  EXPECT_TRUE(writer.WriteSizes.empty());
  EXPECT_TRUE(writer.Sent.empty());
}

TEST(WriterFlush, FailedWriteStillEmptiesTheBuffer) {
  VMemoryWriter writer;
  writer.FailWrites = true;
  writer.WriteInt32(1);
  EXPECT_FALSE(writer.Flush());
  EXPECT_EQ(writer.Position(), 0u);
  EXPECT_TRUE(writer.Bytes().empty());
  writer.FailWrites = false;
  EXPECT_FALSE(writer.Flush());  // nothing left over to send
  EXPECT_TRUE(writer.Sent.empty());
}

// --- Requests of the conformance set, built from the primitives -------------

class RequestBytes : public ::testing::TestWithParam<std::string> {};

// Builds the request a state calls for, following the request rules, with
// VWriterSection and the writer's primitives only.
void BuildWithPrimitives(VMemoryWriter& writer, const std::set<int32_t>& types, bool typesChanged,
                         bool modeChanged, uint8_t mode) {
  if (!typesChanged && !modeChanged && mode != 0) return;
  VWriterSection packet(writer, LumoraQSStream::PacketMagic);
  if (typesChanged) {
    VWriterSection list(writer, LumoraQSStream::ObjectTypeList);
    writer.WriteInt32(static_cast<int32_t>(types.size()));
    for (int32_t type : types) writer.WriteInt32(type);
  }
  if (mode == 0 || modeChanged) {
    VWriterSection modeObject(writer, LumoraQSStream::StreamMode);
    writer.WriteByte(mode);
  }
}

TEST_P(RequestBytes, PrimitivesProduceTheListedBytes) {
  const nlohmann::json* found = QSTesting::FindCase("request_cases", GetParam());
  ASSERT_NE(found, nullptr) << QSTesting::MissingCaseMessage("request_cases", GetParam());
  const nlohmann::json& entry = *found;
  const nlohmann::json& state = entry.at("state");
  std::set<int32_t> types;
  for (const auto& type : state.at("requested_types")) types.insert(type.get<int32_t>());

  VMemoryWriter writer;
  BuildWithPrimitives(writer, types, state.at("types_changed").get<bool>(),
                      state.at("mode_changed").get<bool>(), state.at("stream_mode").get<uint8_t>());
  const bool flushed = writer.Flush();
  const std::string expected = entry.at("hex").get<std::string>();
  EXPECT_EQ(flushed, !expected.empty());
  EXPECT_EQ(ToHex(writer.Sent), expected);
  EXPECT_EQ(writer.WriteSizes.size(), expected.empty() ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Conformance, RequestBytes,
                         ::testing::ValuesIn(QSTesting::CaseNames("request_cases")),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return QSTesting::ParamName(info.param);
                         });

}  // namespace
