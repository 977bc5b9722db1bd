// The byte builder, the raw builders for hostile tests and the request
// reader of the capture-server peer.
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "serve/wire_encoder.h"
#include "testing/capture_server.h"

namespace {

using namespace LumoraQSServe;
using namespace LumoraQSStream;

TEST(WireBuffer, WritesLittleEndianValuesOfEveryWidth) {
  VWireBuffer out;
  out.Byte(0xab).Int16(-2).UInt16(0x1234).Int32(-2).UInt32(0x01020304).Int64(0x0102030405060708LL);
  const VBytes expected{0xab, 0xfe, 0xff, 0x34, 0x12, 0xfe, 0xff, 0xff, 0xff, 0x04, 0x03, 0x02,
                        0x01, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(out.Bytes(), expected);
}

TEST(WireBuffer, WritesIeeeRealsAndLengthPrefixedStrings) {
  VWireBuffer out;
  out.Float(1.0f).Double(-2.0).String("ab").String("");
  const VBytes expected{0x00, 0x00, 0x80, 0x3f,                          // 1.0f
                        0, 0, 0, 0, 0, 0, 0x00, 0xc0,                    // -2.0
                        0x02, 0, 0, 0, 'a', 'b',                         // "ab"
                        0, 0, 0, 0};                                     // ""
  EXPECT_EQ(out.Bytes(), expected);
}

TEST(WireBuffer, PatchesALengthSlotAndRefusesToPatchBeyondTheEnd) {
  VWireBuffer out;
  out.Int32(0).Int32(0);
  out.PatchInt32(4, 0x11223344);
  EXPECT_EQ(out.Bytes(), (VBytes{0, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_THROW(out.PatchInt32(5, 1), std::out_of_range);
}

TEST(WireEncoder, RawObjectsAndPacketsCanLieAboutTheirLengths) {
  const VBytes object = EncodeRawObject(-7, {1, 2}, 1000);
  EXPECT_EQ(object, (VBytes{0xf9, 0xff, 0xff, 0xff, 0xe8, 0x03, 0, 0, 1, 2}));

  const VBytes packet = EncodePacketWith(0x1A2B3C4E, {object}, -1);
  EXPECT_EQ(VBytes(packet.begin(), packet.begin() + 8), (VBytes{0x4e, 0x3c, 0x2b, 0x1a, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(VBytes(packet.begin() + 8, packet.end()), object);

  // Without a lie the length is the bytes that follow.
  const VBytes honest = EncodePacket({object, EncodeStreamMode(3)});
  EXPECT_EQ(honest.size(), 8u + object.size() + 9u);
  EXPECT_EQ(honest[4], object.size() + 9u);
  EXPECT_EQ(honest.back(), 3);
}

TEST(WireEncoder, TypeListsKeepTheWireOrderTheyAreGiven) {
  // From a set: ascending signed order. From a list: as given.
  EXPECT_EQ(EncodeObjectTypeList(std::set<int32_t>{7, -5, 2}),
            EncodeObjectTypeList(std::vector<int32_t>{-5, 2, 7}));
  const VBytes odd = EncodeObjectTypeList(std::vector<int32_t>{3, 1, 1});
  EXPECT_EQ(odd, (VBytes{0xa1, 0x86, 0x01, 0, 16, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(WireEncoder, SegmentPosesUnderTheSkippedTypeShareTheLayout) {
  VSegmentPoses group;
  group.SubjectID = 4;
  const VBytes global = EncodeGlobalSegmentPoses(group);
  const VBytes other = EncodeGlobalSegmentPoses(group, OtherSegmentPoses);
  ASSERT_EQ(global.size(), other.size());
  EXPECT_EQ(global[0], GlobalSegmentPoses);
  EXPECT_EQ(other[0], OtherSegmentPoses);
  EXPECT_EQ(VBytes(global.begin() + 4, global.end()), VBytes(other.begin() + 4, other.end()));
}

TEST(WireEncoder, ChunkLongerThanItsSixteenBitLengthIsRefused) {
  VChunkData data;
  data.Groups.push_back({VChunk{VRecordArray<uint8_t>(0x10000, 0), 0, 0}});
  EXPECT_THROW(EncodeChunkData(data), std::length_error);
  data.Groups[0][0].Bytes.resize(0xffff);
  const VBytes encoded = EncodeChunkData(data);
  // header 8, values 8, group count 4, chunk count 4, two values 4, length 2
  EXPECT_EQ(encoded.size(), 8u + 8u + 4u + 4u + 4u + 2u + 0xffffu);
  EXPECT_EQ(encoded[8 + 8 + 4 + 4 + 4], 0xff);
  EXPECT_EQ(encoded[8 + 8 + 4 + 4 + 5], 0xff);
}

TEST(WireEncoder, PacketSummaryFromTheClassListsItsSetInOrder) {
  VPacketSummary summary;
  summary.Pairs.push_back({5, 6});
  summary.CarriedTypes = {9, 2};
  EXPECT_EQ(EncodePacketSummary(summary), EncodePacketSummary({{5, 6}}, {2, 9}));
}

TEST(RequestReader, AcceptsTheTwoRequestObjectsAndIgnoresOthers) {
  const VBytes packet = EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 9}), EncodeObject(42, {1, 2, 3}),
                                      EncodeStreamMode(1)});
  const VRecordedRequest r = DecodeRequestPacket(packet);
  EXPECT_TRUE(r.WellFormed);
  EXPECT_EQ(r.Magic, PacketMagic);
  EXPECT_EQ(r.PayloadLength, static_cast<int32_t>(packet.size() - 8));
  EXPECT_TRUE(r.HasTypeList);
  EXPECT_EQ(r.Types, (std::set<int32_t>{1, 9}));
  EXPECT_TRUE(r.HasStreamMode);
  EXPECT_EQ(r.StreamMode, 1);
  EXPECT_EQ(r.Bytes, packet);
}

TEST(RequestReader, FlagsMalformedRequests) {
  // Wrong magic.
  EXPECT_FALSE(DecodeRequestPacket(EncodePacketWith(0x1A2B3C4E, {EncodeStreamMode(0)})).WellFormed);
  // Payload length disagreeing with the bytes present.
  EXPECT_FALSE(DecodeRequestPacket(EncodePacketWith(PacketMagic, {EncodeStreamMode(0)}, 20)).WellFormed);
  // An object whose length runs past the payload.
  EXPECT_FALSE(DecodeRequestPacket(EncodePacket({EncodeRawObject(StreamMode, {0}, 5)})).WellFormed);
  // A type list announcing more types than it holds, and a negative count.
  EXPECT_FALSE(DecodeRequestPacket(
                   EncodePacket({EncodeObject(ObjectTypeList, VWireBuffer().Int32(3).Int32(1).Take())}))
                   .WellFormed);
  const VRecordedRequest negative =
      DecodeRequestPacket(EncodePacket({EncodeObject(ObjectTypeList, VWireBuffer().Int32(-1).Take())}));
  EXPECT_FALSE(negative.WellFormed);
  EXPECT_FALSE(negative.HasTypeList);
  // A stream mode object without its byte.
  EXPECT_FALSE(DecodeRequestPacket(EncodePacket({EncodeObject(StreamMode, {})})).WellFormed);
  // Fewer than eight bytes.
  EXPECT_FALSE(DecodeRequestPacket(VBytes{0x4d, 0x3c}).WellFormed);
}

}  // namespace
