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

#include "serve/wire_encoder.h"
#include "streamio/dynamic_objects.h"
#include "streamio/limits.h"
#include "streamio/static_objects.h"
#include "testing/memory_reader_writer.h"
#include "testing/wire_bytes.h"
#include "tests/support/counting_allocator.h"

namespace {

using namespace LumoraQSStream;
using QSTesting::VMemoryReader;
using LumoraQSServe::VWireBuffer;
using QSTesting::LoadPayload;

constexpr int32_t MaxCount = std::numeric_limits<int32_t>::max();

using AllocationReport = QSTesting::VAllocationReport;

// Runs `step` while counting every allocation it makes.
AllocationReport Measure(const std::function<void()>& step) { return QSTesting::MeasureAllocations(step); }

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
  const std::size_t before = QSTesting::LiveBytes();
  {
    std::vector<uint8_t> held(8192, 1);
    EXPECT_GE(QSTesting::LiveBytes(), before + held.size());
  }
  EXPECT_EQ(QSTesting::LiveBytes(), before);
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
  cases.push_back({"subject segments", VWireBuffer().Int32(1).String("s").Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VSubjectInfo v;
                     return DecodeSubjectInfo(r, v);
                   }});
  cases.push_back({"subject markers",
                   VWireBuffer().Int32(1).String("s").Int32(0).Int32(MaxCount).Raw(few).Bytes(), [](auto& r) {
                     VSubjectInfo v;
                     return DecodeSubjectInfo(r, v);
                   }});
  cases.push_back({"subject pairs",
                   VWireBuffer().Int32(1).String("s").Int32(0).Int32(0).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VSubjectInfo v;
                     return DecodeSubjectInfo(r, v);
                   }});
  cases.push_back({"component names",
                   VWireBuffer().Int32(1).Int32(2).String("o").Int32(MaxCount).Raw(few).Bytes(), [](auto& r) {
                     VDeviceOutputInfo v;
                     return DecodeDeviceOutputInfo(r, v);
                   }});
  cases.push_back({"chunk groups", VWireBuffer().Int32(0).Int32(0).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VChunkData v;
                     return DecodeChunkData(r, v);
                   }});
  cases.push_back({"chunks", VWireBuffer().Int32(0).Int32(0).Int32(1).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VChunkData v;
                     return DecodeChunkData(r, v);
                   }});
  cases.push_back({"summary pairs", VWireBuffer().Int32(MaxCount).Raw(few).Bytes(), [](auto& r) {
                     VPacketSummary v;
                     return DecodePacketSummary(r, v);
                   }});
  cases.push_back({"summary types", VWireBuffer().Int32(0).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VPacketSummary v;
                     return DecodePacketSummary(r, v);
                   }});
  cases.push_back({"object type list", VWireBuffer().Int32(MaxCount).Raw(few).Bytes(), [](auto& r) {
                     std::set<int32_t> v;
                     return DecodeObjectTypeList(r, v);
                   }});
  cases.push_back({"marker positions", VWireBuffer().Int32(MaxCount).Raw(few).Bytes(), [](auto& r) {
                     VRecordArray<VMarkerPosition> v;
                     return DecodeMarkerPositions(r, v);
                   }});
  cases.push_back({"marker positions wrapping", VWireBuffer().Int32(38347923).Raw(std::vector<uint8_t>(112, 0)).Bytes(),
                   [](auto& r) {
                     VRecordArray<VMarkerPosition> v;
                     return DecodeMarkerPositions(r, v);
                   }});
  cases.push_back({"marker records", VWireBuffer().Int32(MaxCount).Raw(few).Bytes(), [](auto& r) {
                     VRecordArray<VMarkerRecord> v;
                     return DecodeMarkerRecords(r, v);
                   }});
  cases.push_back({"segment poses", VWireBuffer().Int32(1).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VSegmentPoses v;
                     return DecodeSegmentPoses(r, v);
                   }});
  cases.push_back({"samples", VWireBuffer().Int32(0).Int32(1).Int32(2).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VDeviceOutputData v;
                     return DecodeDeviceOutputData(r, v);
                   }});
  cases.push_back({"samples wrapping", VWireBuffer().Int32(0).Int32(1).Int32(2).Int32(1 << 30).Raw(few).Bytes(),
                   [](auto& r) {
                     VDeviceOutputData v;
                     return DecodeDeviceOutputData(r, v);
                   }});
  cases.push_back({"blocks", VWireBuffer().Int32(0).Int32(1).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VBlockData v;
                     return DecodeBlockData(r, v);
                   }});
  cases.push_back({"short records", VWireBuffer().Int32(0).Int32(1).Int32(MaxCount).Raw(few).Bytes(),
                   [](auto& r) {
                     VShortRecordData v;
                     return DecodeShortRecordData(r, v);
                   }});
  cases.push_back({"video data",
                   VWireBuffer().Int32(0).Int32(0).UInt16(0).UInt16(0).UInt16(8).UInt16(8).Int32(3).Int32(MaxCount).Raw(few).Bytes(),
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
      VWireBuffer().Int32(1).String("").Int32(100).Raw(std::vector<uint8_t>(100 * 36, 0xFF)).Bytes();
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
