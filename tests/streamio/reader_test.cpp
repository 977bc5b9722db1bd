// VReader primitives and VReaderSection, over a memory-backed reader.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "serve/wire_encoder.h"
#include "streamio/dynamic_objects.h"
#include "streamio/limits.h"
#include "streamio/reader.h"
#include "streamio/static_objects.h"
#include "testing/memory_reader_writer.h"
#include "testing/wire_bytes.h"

using LumoraQSStreamIO::MaxPacketPayload;
using QSTesting::VMemoryReader;
using LumoraQSStreamIO::VReaderSection;
using LumoraQSServe::VWireBuffer;
using QSTesting::LoadPayload;

namespace {

// A reader whose Read() records that it was called.
class CountingReader : public LumoraQSStreamIO::VReader {
 public:
  bool Read(void* destination, std::size_t count) override {
    ++Calls;
    LastCount = count;
    std::memset(destination, 0xAB, count);
    return true;
  }
  int Calls = 0;
  std::size_t LastCount = 0;
};

// --- Fill ------------------------------------------------------------------

TEST(ReaderFill, ReplacesBufferAndRewindsPosition) {
  VMemoryReader reader(VWireBuffer().Int32(11).Int32(22).Int32(33).Bytes());
  ASSERT_TRUE(reader.Fill(8));
  EXPECT_EQ(reader.Length(), 8u);
  EXPECT_EQ(reader.Position(), 0u);
  int32_t value = 0;
  ASSERT_TRUE(reader.ReadInt32(value));
  EXPECT_EQ(value, 11);
  EXPECT_EQ(reader.Position(), 4u);

  ASSERT_TRUE(reader.Fill(4));
  EXPECT_EQ(reader.Length(), 4u);
  EXPECT_EQ(reader.Position(), 0u);
  ASSERT_TRUE(reader.ReadInt32(value));
  EXPECT_EQ(value, 33);  // the next bytes of the stream, not the old buffer
  EXPECT_EQ(reader.Unread(), 0u);
}

TEST(ReaderFill, ZeroIsFalseLeavesEmptyBufferAndDoesNotRead) {
  CountingReader reader;
  ASSERT_TRUE(reader.Fill(6));
  int16_t word = 0;
  ASSERT_TRUE(reader.ReadInt16(word));
  ASSERT_EQ(reader.Calls, 1);

  EXPECT_FALSE(reader.Fill(0));
  EXPECT_EQ(reader.Length(), 0u);
  EXPECT_EQ(reader.Position(), 0u);
  EXPECT_EQ(reader.Calls, 1);
  EXPECT_FALSE(reader.ReadInt16(word));
}

TEST(ReaderFill, AboveTheLimitIsRefusedWithoutReading) {
  CountingReader reader;
  ASSERT_TRUE(reader.Fill(16));
  EXPECT_FALSE(reader.Fill(MaxPacketPayload + 1));
  EXPECT_FALSE(reader.Fill(std::numeric_limits<uint32_t>::max()));  // a length of -1
  EXPECT_EQ(reader.Calls, 1);
  EXPECT_EQ(reader.Length(), 0u);
  EXPECT_EQ(reader.Position(), 0u);
}

TEST(ReaderFill, ShortStreamFailsAndLeavesNothingDecodable) {
  VMemoryReader reader(VWireBuffer().Int32(7).Int32(8).Bytes());
  ASSERT_TRUE(reader.Fill(4));
  reader.Append(std::vector<uint8_t>(5, 1));
  // The buffer grows past its earlier size, but the stream ends early: no
  // byte of the half-delivered block, nor of the old one, can be read.
  EXPECT_FALSE(reader.Fill(16));
  EXPECT_EQ(reader.Length(), 0u);
  int32_t value = 0;
  EXPECT_FALSE(reader.ReadInt32(value));
}

TEST(ReaderFill, GrowingRefillDeliversOnlyTheNewBytes) {
  // A small block, then a larger one: the larger buffer holds the stream's
  // bytes from its first to its last position.
  VWireBuffer stream;
  stream.Int32(-1);
  for (int32_t i = 0; i < 64; ++i) stream.Int32(1000 + i);
  VMemoryReader reader(stream.Bytes());
  ASSERT_TRUE(reader.Fill(4));
  ASSERT_TRUE(reader.Fill(256));
  for (int32_t i = 0; i < 64; ++i) {
    int32_t value = 0;
    ASSERT_TRUE(reader.ReadInt32(value));
    EXPECT_EQ(value, 1000 + i);
  }
  EXPECT_EQ(reader.Remaining(), 0u);
}

TEST(ReaderFill, PassesTheExactCountToRead) {
  CountingReader reader;
  ASSERT_TRUE(reader.Fill(1234));
  EXPECT_EQ(reader.LastCount, 1234u);
  uint8_t bytes[1234];
  ASSERT_TRUE(reader.ReadValues(bytes, 1234));
  EXPECT_EQ(bytes[0], 0xAB);
  EXPECT_EQ(bytes[1233], 0xAB);
}

// --- Fixed-width reads -------------------------------------------------------

TEST(ReaderValues, DecodesLittleEndian) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, {0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF, 0x34, 0x12, 0x88, 0x77,
                                   0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  int32_t i32 = 0;
  int16_t i16 = 0;
  uint16_t u16 = 0;
  int64_t i64 = 0;
  ASSERT_TRUE(reader.ReadInt32(i32));
  EXPECT_EQ(i32, 0x04030201);
  ASSERT_TRUE(reader.ReadInt16(i16));
  EXPECT_EQ(i16, -2);
  ASSERT_TRUE(reader.ReadUInt16(u16));
  EXPECT_EQ(u16, 0x1234);
  ASSERT_TRUE(reader.ReadInt64(i64));
  EXPECT_EQ(i64, 0x1122334455667788);
  EXPECT_EQ(reader.Position(), 16u);
}

TEST(ReaderValues, NegativeAndRealValues) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(
      reader, VWireBuffer().Int32(-7).UInt32(0xFFFFFFFEu).Double(-2.5).Int64(-1).Bytes()));
  int32_t i32 = 0;
  uint32_t u32 = 0;
  double real = 0;
  int64_t i64 = 0;
  ASSERT_TRUE(reader.ReadInt32(i32));
  ASSERT_TRUE(reader.ReadUInt32(u32));
  ASSERT_TRUE(reader.ReadDouble(real));
  ASSERT_TRUE(reader.ReadInt64(i64));
  EXPECT_EQ(i32, -7);
  EXPECT_EQ(u32, 0xFFFFFFFEu);
  EXPECT_EQ(real, -2.5);
  EXPECT_EQ(i64, -1);
}

// For every width: a read ending exactly at the buffer end succeeds; with
// one byte less in the buffer the same read fails and copies nothing.
template <class T>
void ExpectExactEndThenOneShort(bool (LumoraQSStreamIO::VReader::*read)(T&)) {
  const std::size_t width = sizeof(T);
  std::vector<uint8_t> bytes(3 + width);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x10 + i);

  VMemoryReader exact;
  ASSERT_TRUE(LoadPayload(exact, bytes));
  exact.SetPosition(3);
  T value{};
  EXPECT_TRUE((exact.*read)(value)) << "width " << width;
  EXPECT_EQ(exact.Position(), exact.Length());
  T expected{};
  std::memcpy(&expected, bytes.data() + 3, width);
  EXPECT_EQ(std::memcmp(&value, &expected, width), 0);

  bytes.pop_back();
  VMemoryReader shortReader;
  ASSERT_TRUE(LoadPayload(shortReader, bytes));
  shortReader.SetPosition(3);
  T untouched;
  std::memset(&untouched, 0x5A, width);
  T target = untouched;
  EXPECT_FALSE((shortReader.*read)(target)) << "width " << width;
  EXPECT_EQ(std::memcmp(&target, &untouched, width), 0) << "a failed read copied bytes";
}

TEST(ReaderValues, ExactEndSucceedsOneByteMoreFails) {
  using R = LumoraQSStreamIO::VReader;
  ExpectExactEndThenOneShort<int32_t>(&R::ReadInt32);
  ExpectExactEndThenOneShort<uint32_t>(&R::ReadUInt32);
  ExpectExactEndThenOneShort<int16_t>(&R::ReadInt16);
  ExpectExactEndThenOneShort<uint16_t>(&R::ReadUInt16);
  ExpectExactEndThenOneShort<int64_t>(&R::ReadInt64);
  ExpectExactEndThenOneShort<double>(&R::ReadDouble);
}

TEST(ReaderValues, PositionPastTheEndFailsEveryRead) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, std::vector<uint8_t>(8, 0)));
  reader.SetPosition(20);  // where a section whose end lies beyond the packet leaves it
  EXPECT_EQ(reader.Remaining(), 0u);
  int32_t value = 3;
  EXPECT_FALSE(reader.ReadInt32(value));
  EXPECT_EQ(value, 3);
  uint8_t byte = 0;
  EXPECT_FALSE(reader.ReadValues(&byte, 1));
  EXPECT_TRUE(reader.ReadValues(&byte, 0));
}

TEST(ReaderValues, FixedArrays) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().UInt32(1).UInt32(2).UInt32(3).Double(0.5).Bytes()));
  std::array<uint32_t, 3> words{};
  ASSERT_TRUE(reader.ReadValues(words.data(), 3));
  EXPECT_EQ(words, (std::array<uint32_t, 3>{1, 2, 3}));
  double reals[2] = {7, 7};
  EXPECT_FALSE(reader.ReadValues(reals, 2));  // 8 of 16 bytes left
  EXPECT_EQ(reals[0], 7);
  EXPECT_TRUE(reader.ReadValues(reals, 0));
  EXPECT_EQ(reader.Position(), 12u);
  ASSERT_TRUE(reader.ReadValues(reals, 1));
  EXPECT_EQ(reals[0], 0.5);
}

// --- Strings -----------------------------------------------------------------

TEST(ReaderString, LengthZeroIsEmptyAndConsumesFourBytes) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(0).Int32(99).Bytes()));
  std::string text = "previous";
  ASSERT_TRUE(reader.ReadString(text));
  EXPECT_EQ(text, "");
  EXPECT_EQ(reader.Position(), 4u);
}

TEST(ReaderString, TextIsTakenByLengthIncludingZeroBytes) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(5).Raw("a\0b\xffz", 5).Int32(1).Bytes()));
  std::string text;
  ASSERT_TRUE(reader.ReadString(text));
  EXPECT_EQ(text, std::string("a\0b\xffz", 5));
  EXPECT_EQ(reader.Position(), 9u);
}

TEST(ReaderString, ExactlyTheBytesLeftSucceedsOneMoreFails) {
  VMemoryReader exact;
  ASSERT_TRUE(LoadPayload(exact, VWireBuffer().String("abc").Bytes()));
  std::string text;
  ASSERT_TRUE(exact.ReadString(text));
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(exact.Position(), exact.Length());

  VMemoryReader tooLong;
  ASSERT_TRUE(LoadPayload(tooLong, VWireBuffer().Int32(4).Raw("abc", 3).Bytes()));
  text = "keep";
  EXPECT_FALSE(tooLong.ReadString(text));
  EXPECT_EQ(text, "keep");
}

TEST(ReaderString, NegativeLengthFails) {
  for (int32_t length : {-1, -2, std::numeric_limits<int32_t>::min()}) {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(length).Raw(std::vector<uint8_t>(64, 'x')).Bytes()));
    std::string text = "keep";
    EXPECT_FALSE(reader.ReadString(text)) << length;
    EXPECT_EQ(text, "keep");
  }
}

TEST(ReaderString, TruncatedLengthFieldFails) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, {0, 0, 0}));
  std::string text = "keep";
  EXPECT_FALSE(reader.ReadString(text));
  EXPECT_EQ(text, "keep");
}

// --- Counts and record arrays --------------------------------------------------

TEST(ReaderCount, BoundsByBytesLeftAndRejectsNegative) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(3).Raw(std::vector<uint8_t>(12, 0)).Bytes()));
  uint32_t count = 77;
  ASSERT_TRUE(reader.ReadCount(count, 4));
  EXPECT_EQ(count, 3u);

  reader.SetPosition(0);
  count = 77;
  EXPECT_FALSE(reader.ReadCount(count, 5));  // 3 elements of 5 bytes do not fit in 12
  EXPECT_EQ(count, 77u);

  VMemoryReader negative;
  ASSERT_TRUE(LoadPayload(negative, VWireBuffer().Int32(-1).Raw(std::vector<uint8_t>(64, 0)).Bytes()));
  EXPECT_FALSE(negative.ReadCount(count, 1));
  EXPECT_EQ(count, 77u);
}

template <class T>
class RecordArray : public ::testing::Test {};

using RecordTypes =
    ::testing::Types<LumoraQSStream::VMarkerPosition, LumoraQSStream::VMarkerRecord,
                     LumoraQSStream::VSegmentPose, LumoraQSStream::VBlockRecord,
                     LumoraQSStream::VShortRecord, LumoraQSStream::VPairRecord,
                     LumoraQSStream::VSummaryPair, float, uint8_t>;
TYPED_TEST_SUITE(RecordArray, RecordTypes);

TYPED_TEST(RecordArray, CountZeroSucceedsConsumesFourBytesAndEmpties) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(0).Raw(std::vector<uint8_t>(sizeof(TypeParam) * 2, 0x33)).Bytes()));
  std::vector<TypeParam> records(3);
  ASSERT_TRUE(reader.ReadRecords(records));
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(reader.Position(), 4u);
}

TYPED_TEST(RecordArray, RecordsAreCopiedAsByteImages) {
  constexpr std::size_t size = sizeof(TypeParam);
  VWireBuffer bytes;
  bytes.Int32(3);
  for (std::size_t i = 0; i < 3 * size; ++i) bytes.Byte(static_cast<uint8_t>(i * 7 + 1));
  bytes.Int32(-1);  // trailing bytes stay unread
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, bytes.Bytes()));
  std::vector<TypeParam> records;
  ASSERT_TRUE(reader.ReadRecords(records));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(std::memcmp(records.data(), bytes.Bytes().data() + 4, 3 * size), 0);
  EXPECT_EQ(reader.Position(), 4 + 3 * size);
}

TYPED_TEST(RecordArray, OneRecordShortFailsAndLeavesDestination) {
  constexpr std::size_t size = sizeof(TypeParam);
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(2).Raw(std::vector<uint8_t>(2 * size - 1, 0x44)).Bytes()));
  std::vector<TypeParam> records(1);
  std::memset(static_cast<void*>(records.data()), 0x99, size);
  EXPECT_FALSE(reader.ReadRecords(records));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(records.data())[0], 0x99);
}

TYPED_TEST(RecordArray, HugeOrNegativeCountFailsBeforeSizing) {
  for (int32_t count : {std::numeric_limits<int32_t>::max(), -1, std::numeric_limits<int32_t>::min()}) {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(count).Raw(std::vector<uint8_t>(3 * sizeof(TypeParam), 1)).Bytes()));
    std::vector<TypeParam> records;
    EXPECT_FALSE(reader.ReadRecords(records)) << count;
    EXPECT_EQ(records.capacity(), 0u) << count;
  }
}

// A count whose byte size wraps around in 32-bit arithmetic to a small
// number that the bytes behind it would satisfy (records wider than a byte).
template <class T>
class WideRecordArray : public ::testing::Test {};

using WideRecordTypes =
    ::testing::Types<LumoraQSStream::VMarkerPosition, LumoraQSStream::VMarkerRecord,
                     LumoraQSStream::VSegmentPose, LumoraQSStream::VBlockRecord,
                     LumoraQSStream::VShortRecord, LumoraQSStream::VPairRecord,
                     LumoraQSStream::VSummaryPair, float>;
TYPED_TEST_SUITE(WideRecordArray, WideRecordTypes);

TYPED_TEST(WideRecordArray, CountWhoseSizeWrapsIn32BitsFails) {
  constexpr uint64_t size = sizeof(TypeParam);
  static_assert(size > 1, "a 1-byte record count cannot wrap");
  const uint64_t count = ((uint64_t{1} << 32) + size - 1) / size;  // smallest count reaching 2^32
  ASSERT_LE(count, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()));
  const uint64_t wrapped = (count * size) & 0xFFFFFFFFu;
  ASSERT_LT(wrapped, size);
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(
      reader, VWireBuffer().Int32(static_cast<int32_t>(count)).Raw(std::vector<uint8_t>(size * 2, 0x21)).Bytes()));
  std::vector<TypeParam> records;
  EXPECT_FALSE(reader.ReadRecords(records));
  EXPECT_EQ(records.capacity(), 0u);

  // The same count handed straight to ReadArray, past the count check.
  reader.SetPosition(4);
  EXPECT_FALSE(reader.ReadArray(records, static_cast<uint32_t>(count)));
  EXPECT_EQ(records.capacity(), 0u);
  EXPECT_FALSE(reader.ReadArray(records, std::numeric_limits<uint32_t>::max()));
  EXPECT_EQ(records.capacity(), 0u);
}

TEST(RecordArrayOverflow, MarkerPositionsCountWrappingTo80Bytes) {
  // 38347923 * 112 = 2^32 + 80.
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(38347923).Raw(std::vector<uint8_t>(112, 0)).Bytes()));
  std::vector<LumoraQSStream::VMarkerPosition> records;
  EXPECT_FALSE(reader.ReadRecords(records));
  EXPECT_EQ(records.capacity(), 0u);
}

// --- Sections ----------------------------------------------------------------

std::vector<uint8_t> Header(int32_t word, int32_t length) {
  return VWireBuffer().Int32(word).Int32(length).Bytes();
}

TEST(ReaderSectionRefill, OpensBodyAtZeroAndClosesAtItsEnd) {
  VMemoryReader reader(VWireBuffer().Raw(Header(0x1A2B3C4D, 12)).Int32(1).Int32(2).Int32(3).Int32(4).Bytes());
  {
    VReaderSection section(reader, VReaderSection::EOpen::Refill);
    EXPECT_EQ(section.LeadingWord(), 0x1A2B3C4D);
    EXPECT_EQ(section.DeclaredLength(), 12);
    EXPECT_TRUE(section.HeaderRead());
    EXPECT_EQ(section.Start(), 0);
    EXPECT_EQ(section.End(), 12);
    EXPECT_FALSE(section.Empty());
    EXPECT_EQ(reader.Length(), 12u);
    EXPECT_EQ(reader.Position(), 0u);
    EXPECT_TRUE(section.Contains(0));
    EXPECT_TRUE(section.Contains(11));
    EXPECT_FALSE(section.Contains(12));
    int32_t value = 0;
    ASSERT_TRUE(reader.ReadInt32(value));
    EXPECT_EQ(value, 1);
  }
  EXPECT_EQ(reader.Position(), 12u);
  EXPECT_EQ(reader.Unread(), 4u);  // the next packet's bytes stay in the stream
}

TEST(ReaderSectionRefill, NothingToReadGivesEmptySectionWithWordZero) {
  VMemoryReader empty;
  VReaderSection none(empty, VReaderSection::EOpen::Refill);
  EXPECT_EQ(none.LeadingWord(), 0);
  EXPECT_TRUE(none.Empty());
  EXPECT_EQ(none.Start(), 0);
  EXPECT_EQ(none.End(), 0);
  EXPECT_FALSE(none.HeaderRead());

  VMemoryReader partial({0x4D, 0x3C, 0x2B, 0x1A, 0x04});
  VReaderSection halfHeader(partial, VReaderSection::EOpen::Refill);
  EXPECT_EQ(halfHeader.LeadingWord(), 0);
  EXPECT_TRUE(halfHeader.Empty());
}

TEST(ReaderSectionRefill, LengthZeroKeepsWordAndIsEmpty) {
  VMemoryReader reader(VWireBuffer().Raw(Header(0x1A2B3C4D, 0)).Int32(5).Bytes());
  {
    VReaderSection section(reader, VReaderSection::EOpen::Refill);
    EXPECT_EQ(section.LeadingWord(), 0x1A2B3C4D);
    EXPECT_TRUE(section.Empty());
    EXPECT_EQ(section.Start(), 0);
    EXPECT_EQ(section.End(), 0);
    EXPECT_EQ(reader.Length(), 0u);
    EXPECT_FALSE(section.Contains(0));
  }
  EXPECT_EQ(reader.Position(), 0u);
  EXPECT_EQ(reader.Unread(), 4u);  // no payload byte was taken
}

TEST(ReaderSectionRefill, NegativeLengthKeepsWordIsEmptyAndReadsNothing) {
  VMemoryReader reader(VWireBuffer().Raw(Header(0x1A2B3C4D, -8)).Raw(std::vector<uint8_t>(16, 0)).Bytes());
  {
    VReaderSection section(reader, VReaderSection::EOpen::Refill);
    EXPECT_EQ(section.LeadingWord(), 0x1A2B3C4D);
    EXPECT_TRUE(section.Empty());
    EXPECT_EQ(reader.Length(), 0u);
  }
  EXPECT_EQ(reader.Position(), 0u);
  EXPECT_EQ(reader.Unread(), 16u);
}

TEST(ReaderSectionRefill, BodyCutShortIsEmpty) {
  VMemoryReader reader(VWireBuffer().Raw(Header(77, 10)).Raw(std::vector<uint8_t>(6, 0)).Bytes());
  VReaderSection section(reader, VReaderSection::EOpen::Refill);
  EXPECT_EQ(section.LeadingWord(), 77);
  EXPECT_TRUE(section.Empty());
  EXPECT_FALSE(section.Contains(0));
}

TEST(ReaderSectionInPlace, BoundsFollowTheHeader) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(0).Raw(Header(9, 6)).Raw(std::vector<uint8_t>(6, 1)).Int32(5).Bytes()));
  reader.SetPosition(4);
  {
    VReaderSection section(reader, VReaderSection::EOpen::InPlace);
    EXPECT_EQ(section.LeadingWord(), 9);
    EXPECT_EQ(section.DeclaredLength(), 6);
    EXPECT_EQ(section.Start(), 12);
    EXPECT_EQ(section.End(), 18);
    EXPECT_EQ(reader.Position(), 12u);
  }
  EXPECT_EQ(reader.Position(), 18u);
  int32_t next = 0;
  ASSERT_TRUE(reader.ReadInt32(next));
  EXPECT_EQ(next, 5);
}

TEST(ReaderSectionInPlace, CloseRepositionsWhateverWasConsumed) {
  const std::vector<uint8_t> bytes = VWireBuffer().Raw(Header(3, 8)).Raw(std::vector<uint8_t>(8, 0)).Raw(std::vector<uint8_t>(8, 0)).Bytes();
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, bytes));
  {
    VReaderSection section(reader, VReaderSection::EOpen::InPlace);
    int32_t value = 0;
    ASSERT_TRUE(reader.ReadInt32(value));  // consumed less than declared
  }
  EXPECT_EQ(reader.Position(), 16u);

  reader.SetPosition(0);
  {
    VReaderSection section(reader, VReaderSection::EOpen::InPlace);
    int64_t value = 0;
    ASSERT_TRUE(reader.ReadInt64(value));
    ASSERT_TRUE(reader.ReadInt64(value));  // consumed more than declared
    EXPECT_EQ(reader.Position(), 24u);
  }
  EXPECT_EQ(reader.Position(), 16u);
}

TEST(ReaderSectionInPlace, ZeroOrNegativeLengthLeavesPositionWhereDecoderLeftIt) {
  for (int32_t length : {0, -1, -100}) {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Raw(Header(3, length)).Raw(std::vector<uint8_t>(16, 0)).Bytes()));
    {
      VReaderSection section(reader, VReaderSection::EOpen::InPlace);
      EXPECT_TRUE(section.Empty()) << length;
      EXPECT_TRUE(section.HeaderRead());
      EXPECT_EQ(section.LeadingWord(), 3);
      EXPECT_EQ(reader.Position(), 8u);
      int64_t value = 0;
      ASSERT_TRUE(reader.ReadInt64(value));
    }
    EXPECT_EQ(reader.Position(), 16u) << length;
  }
}

TEST(ReaderSectionInPlace, IncompleteHeader) {
  // Fewer than 4 bytes: word 0, position unchanged.
  VMemoryReader three;
  ASSERT_TRUE(LoadPayload(three, {1, 0, 0}));
  {
    VReaderSection section(three, VReaderSection::EOpen::InPlace);
    EXPECT_EQ(section.LeadingWord(), 0);
    EXPECT_TRUE(section.Empty());
    EXPECT_FALSE(section.HeaderRead());
  }
  EXPECT_EQ(three.Position(), 0u);

  // A word but no length: the word is kept, the position stays after it.
  VMemoryReader six;
  ASSERT_TRUE(LoadPayload(six, {5, 0, 0, 0, 1, 0}));
  {
    VReaderSection section(six, VReaderSection::EOpen::InPlace);
    EXPECT_EQ(section.LeadingWord(), 5);
    EXPECT_TRUE(section.Empty());
    EXPECT_FALSE(section.HeaderRead());
  }
  EXPECT_EQ(six.Position(), 4u);
}

TEST(ReaderSectionInPlace, EndBeyondTheBufferMovesPastItsEnd) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Raw(Header(5, 1000)).Int32(1).Bytes()));
  { VReaderSection section(reader, VReaderSection::EOpen::InPlace); }
  EXPECT_EQ(reader.Position(), 1008u);
  EXPECT_EQ(reader.Remaining(), 0u);
  int32_t value = 0;
  EXPECT_FALSE(reader.ReadInt32(value));
}

TEST(ReaderSectionInPlace, LeavingTheScopeByAnExceptionRepositions) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Raw(Header(2, 12)).Raw(std::vector<uint8_t>(12, 0)).Int32(42).Bytes()));
  try {
    VReaderSection section(reader, VReaderSection::EOpen::InPlace);
    int32_t value = 0;
    ASSERT_TRUE(reader.ReadInt32(value));
    throw std::runtime_error("decoder gave up");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(reader.Position(), 20u);
  int32_t next = 0;
  ASSERT_TRUE(reader.ReadInt32(next));
  EXPECT_EQ(next, 42);
}

TEST(ReaderSectionInPlace, ExplicitCloseIsFinal) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Raw(Header(2, 4)).Int32(0).Int32(0).Int32(0).Bytes()));
  {
    VReaderSection section(reader, VReaderSection::EOpen::InPlace);
    section.Close();
    EXPECT_EQ(reader.Position(), 12u);
    reader.SetPosition(16);
  }
  EXPECT_EQ(reader.Position(), 16u);  // the destructor does not close a second time
}

TEST(ReaderSection, ObjectsNestInsideARefilledPacket) {
  const std::vector<uint8_t> payload = LumoraQSServe::Concat({
      LumoraQSServe::EncodeObject(5, VWireBuffer().Int32(100).Bytes()),
      LumoraQSServe::EncodeObject(8, std::vector<uint8_t>(10, 0xEE)),
      LumoraQSServe::EncodeObject(5, VWireBuffer().Int32(200).Int32(999).Bytes()),
  });
  VMemoryReader reader(LumoraQSServe::EncodePacket({payload}));
  std::vector<int32_t> types;
  std::vector<int32_t> values;
  {
    VReaderSection packet(reader, VReaderSection::EOpen::Refill);
    ASSERT_EQ(packet.End(), static_cast<int64_t>(payload.size()));
    while (packet.Contains(reader.Position())) {
      VReaderSection object(reader, VReaderSection::EOpen::InPlace);
      types.push_back(object.LeadingWord());
      if (object.LeadingWord() == 5) {
        int32_t value = 0;
        ASSERT_TRUE(reader.ReadInt32(value));
        values.push_back(value);
      }
    }
  }
  EXPECT_EQ(types, (std::vector<int32_t>{5, 8, 5}));
  EXPECT_EQ(values, (std::vector<int32_t>{100, 200}));
  EXPECT_EQ(reader.Position(), payload.size());
}

}  // namespace
