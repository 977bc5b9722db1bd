// Hostile counts and lengths must fail before any storage is sized from
// them. This binary replaces the global operator new (the counting
// allocator of tests/support) so that a test can count what a single decode
// call allocates.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "streamio/dynamic_objects.h"
#include "streamio/limits.h"
#include "streamio/static_objects.h"
#include "testing/memory_reader_writer.h"
#include "tests/streamio/byte_builder.h"
#include "tests/support/counting_allocator.h"

namespace {

using namespace LumoraQSStream;
using QSTesting::VMemoryReader;
using QSTest::ByteBuilder;
using QSTest::LoadPayload;

constexpr int32_t MaxCount = std::numeric_limits<int32_t>::max();

using AllocationReport = QSTest::VAllocationReport;

// Runs `step` while counting every allocation it makes.
AllocationReport Measure(const std::function<void()>& step) { return QSTest::MeasureAllocations(step); }

TEST(AllocationCounter, SeesAnAllocation) {
  // The counter itself must work, or every test below would pass vacuously.
  const AllocationReport report = Measure([] {
    std::vector<uint8_t> block(4096);
    ASSERT_EQ(block.size(), 4096u);
  });
  EXPECT_GE(report.Count, 1u);
  EXPECT_GE(report.Largest, 4096u);
  // Live bytes rise with a block and fall back when it is released.
  EXPECT_GE(report.PeakAbove, 4096u);
  const std::size_t before = QSTest::LiveBytes();
  {
    std::vector<uint8_t> held(8192, 1);
    EXPECT_GE(QSTest::LiveBytes(), before + held.size());
  }
  EXPECT_EQ(QSTest::LiveBytes(), before);
}

TEST(HostileInput, FillAboveTheLimitAllocatesNothing) {
  VMemoryReader reader(std::vector<uint8_t>(64, 0));
  bool filled = true;
  const AllocationReport report = Measure([&] {
    filled = reader.Fill(LumoraQSStreamIO::MaxPacketPayload + 1);
  });
  EXPECT_FALSE(filled);
  EXPECT_EQ(report.Bytes, 0u);
  EXPECT_EQ(reader.Unread(), 64u);

  const AllocationReport negative = Measure([&] { filled = reader.Fill(0xFFFFFFFFu); });
  EXPECT_FALSE(filled);
  EXPECT_EQ(negative.Bytes, 0u);
}

struct HostileCase {
  const char* Name;
  std::vector<uint8_t> Payload;
  std::function<bool(LumoraQSStreamIO::VReader&)> Decode;
};

// Payloads that announce 2^31-1 (or a wrapping number of) elements with only
// a few bytes behind the count.
std::vector<HostileCase> HostileCases() {
  const std::vector<uint8_t> few(24, 0x01);
  std::vector<HostileCase> cases;
  cases.push_back({"subject segments", ByteBuilder().I32(1).Str("s").I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VSubjectInfo v;
                     return DecodeSubjectInfo(r, v);
                   }});
  cases.push_back({"subject markers",
                   ByteBuilder().I32(1).Str("s").I32(0).I32(MaxCount).Append(few).Get(), [](auto& r) {
                     VSubjectInfo v;
                     return DecodeSubjectInfo(r, v);
                   }});
  cases.push_back({"subject pairs",
                   ByteBuilder().I32(1).Str("s").I32(0).I32(0).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VSubjectInfo v;
                     return DecodeSubjectInfo(r, v);
                   }});
  cases.push_back({"component names",
                   ByteBuilder().I32(1).I32(2).Str("o").I32(MaxCount).Append(few).Get(), [](auto& r) {
                     VDeviceOutputInfo v;
                     return DecodeDeviceOutputInfo(r, v);
                   }});
  cases.push_back({"chunk groups", ByteBuilder().I32(0).I32(0).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VChunkData v;
                     return DecodeChunkData(r, v);
                   }});
  cases.push_back({"chunks", ByteBuilder().I32(0).I32(0).I32(1).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VChunkData v;
                     return DecodeChunkData(r, v);
                   }});
  cases.push_back({"summary pairs", ByteBuilder().I32(MaxCount).Append(few).Get(), [](auto& r) {
                     VPacketSummary v;
                     return DecodePacketSummary(r, v);
                   }});
  cases.push_back({"summary types", ByteBuilder().I32(0).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VPacketSummary v;
                     return DecodePacketSummary(r, v);
                   }});
  cases.push_back({"object type list", ByteBuilder().I32(MaxCount).Append(few).Get(), [](auto& r) {
                     std::set<int32_t> v;
                     return DecodeObjectTypeList(r, v);
                   }});
  cases.push_back({"marker positions", ByteBuilder().I32(MaxCount).Append(few).Get(), [](auto& r) {
                     VRecordArray<VMarkerPosition> v;
                     return DecodeMarkerPositions(r, v);
                   }});
  cases.push_back({"marker positions wrapping", ByteBuilder().I32(38347923).Fill(112, 0).Get(),
                   [](auto& r) {
                     VRecordArray<VMarkerPosition> v;
                     return DecodeMarkerPositions(r, v);
                   }});
  cases.push_back({"marker records", ByteBuilder().I32(MaxCount).Append(few).Get(), [](auto& r) {
                     VRecordArray<VMarkerRecord> v;
                     return DecodeMarkerRecords(r, v);
                   }});
  cases.push_back({"segment poses", ByteBuilder().I32(1).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VSegmentPoses v;
                     return DecodeSegmentPoses(r, v);
                   }});
  cases.push_back({"samples", ByteBuilder().I32(0).I32(1).I32(2).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VDeviceOutputData v;
                     return DecodeDeviceOutputData(r, v);
                   }});
  cases.push_back({"samples wrapping", ByteBuilder().I32(0).I32(1).I32(2).I32(1 << 30).Append(few).Get(),
                   [](auto& r) {
                     VDeviceOutputData v;
                     return DecodeDeviceOutputData(r, v);
                   }});
  cases.push_back({"blocks", ByteBuilder().I32(0).I32(1).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VBlockData v;
                     return DecodeBlockData(r, v);
                   }});
  cases.push_back({"short records", ByteBuilder().I32(0).I32(1).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VShortRecordData v;
                     return DecodeShortRecordData(r, v);
                   }});
  cases.push_back({"video data",
                   ByteBuilder().I32(0).I32(0).U16(0).U16(0).U16(8).U16(8).I32(3).I32(MaxCount).Append(few).Get(),
                   [](auto& r) {
                     VVideoFrame v;
                     return DecodeVideoFrame(r, v);
                   }});
  return cases;
}

TEST(HostileInput, HugeCountsFailWithoutSizingAnything) {
  for (const HostileCase& entry : HostileCases()) {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, entry.Payload));
    bool decoded = true;
    const AllocationReport report = Measure([&] { decoded = entry.Decode(reader); });
    EXPECT_FALSE(decoded) << entry.Name;
    // The destination objects themselves may allocate a few small nodes (a
    // one-letter name, a group); nothing may be sized from the count.
    EXPECT_LE(report.Largest, 256u) << entry.Name;
    EXPECT_LE(report.Bytes, 1024u) << entry.Name;
  }
}

// A count that fits the byte check may reserve, but never more than the
// packet could hold.
TEST(HostileInput, ReservationIsBoundedByTheBytesPresent) {
  // 100 segment counts' worth of 36-byte minimum encodings, but zero bytes
  // beyond the first segment's start: decoding fails after the reservation.
  const std::vector<uint8_t> payload =
      ByteBuilder().I32(1).Str("").I32(100).Fill(100 * 36, 0xFF).Get();
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, payload));
  bool decoded = true;
  const AllocationReport report = Measure([&] {
    VSubjectInfo subject;
    decoded = DecodeSubjectInfo(reader, subject);
  });
  EXPECT_FALSE(decoded);  // the first name length is 0xFFFFFFFF
  EXPECT_LE(report.Largest, 100 * sizeof(VSegmentInfo));
}

}  // namespace
