// Packet framing and dispatch over a memory-backed reader: the cases the
// conformance set does not already pin down.
#include "stream/packet_reader.h"

#include <gtest/gtest.h>

#include "serve/wire_encoder.h"
#include "stream/video_conversion.h"
#include "streamio/limits.h"
#include "testing/memory_reader_writer.h"
#include "tests/support/payload_builders.h"

using namespace LumoraQSServe;
using namespace LumoraQSStream;
using QSTesting::VMemoryReader;

namespace {

VSubjectInfo Subject(int32_t id, const std::string& name) {
  VSubjectInfo subject;
  subject.SubjectID = id;
  subject.Name = name;
  return subject;
}

VVideoFrame MosaicFrame() {
  VVideoFrame frame;
  frame.Width = 4;
  frame.Height = 2;
  frame.Format = VideoFormat::MosaicA;
  frame.Data = {10, 20, 30, 40, 50, 60, 70, 80};
  return frame;
}

}  // namespace

TEST(PacketReader, TrailingBytesTooShortForATypeEndTheObjectLoop) {
  for (std::size_t stray = 1; stray <= 3; ++stray) {
    VBytes objects = EncodeFrameNumber(42);
    objects.insert(objects.end(), stray, 0xEE);
    VMemoryReader reader(EncodePacket({objects}));
    VPacketReader packets;
    VPacketDelivery delivery;
    ASSERT_TRUE(packets.ReadPacket(reader, false, delivery)) << stray << " stray bytes";
    ASSERT_TRUE(delivery.Dynamic);
    EXPECT_EQ(delivery.Dynamic->FrameNumber, 42);
    EXPECT_FALSE(delivery.Static);
    EXPECT_EQ(reader.Unread(), 0u);
  }
}

TEST(PacketReader, PayloadLengthOutOfRangeEndsTheConnection) {
  const int32_t lengths[] = {-1, INT32_MIN, 0x7FFFFFFF,
                             static_cast<int32_t>(LumoraQSStreamIO::MaxPacketPayload + 1)};
  for (int32_t length : lengths) {
    VMemoryReader reader(EncodePacketWith(PacketMagic, {EncodeFrameNumber(1)}, length));
    VPacketReader packets;
    VPacketDelivery delivery;
    EXPECT_FALSE(packets.ReadPacket(reader, false, delivery)) << length;
    EXPECT_FALSE(delivery.Static);
    EXPECT_FALSE(delivery.Dynamic);
    // Nothing was sized from the length: the reader holds no buffer.
    EXPECT_EQ(reader.Length(), 0u);
  }
}

TEST(PacketReader, ARefusedPacketSaysWhatWasWrongWithIt) {
  VPacketReader packets;
  VPacketDelivery delivery;
  VMemoryReader magic(EncodePacketWith(0x1A2B3C4E, {EncodeFrameNumber(1)}));
  const VReadResult wrongMagic = packets.ReadPacket(magic, false, delivery);
  EXPECT_EQ(wrongMagic.Reason, EEndReason::BadMagic);
  EXPECT_EQ(wrongMagic.Describe(), "a packet with the wrong magic 0x1a2b3c4e");

  VMemoryReader length(EncodePacketWith(PacketMagic, {EncodeFrameNumber(1)}, -5));
  const VReadResult outOfRange = packets.ReadPacket(length, false, delivery);
  EXPECT_EQ(outOfRange.Reason, EEndReason::LengthOutOfRange);
  EXPECT_EQ(outOfRange.DeclaredLength, -5);
  EXPECT_NE(outOfRange.Describe().find("announcing -5 payload bytes"), std::string::npos) << outOfRange.Describe();

  // A frame number, then a device whose name runs past the payload: the
  // second object, 12 bytes into the payload.
  VMemoryReader malformed(EncodePacket(
      {EncodeFrameNumber(1), EncodeRawObject(DeviceInfo, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0}, 16)}));
  const VReadResult object = packets.ReadPacket(malformed, false, delivery);
  EXPECT_EQ(object.Reason, EEndReason::MalformedObject);
  EXPECT_EQ(object.ObjectType, DeviceInfo);
  EXPECT_EQ(object.ObjectOffset, 12u);
  EXPECT_EQ(object.Describe(), "a packet whose object of type " + std::to_string(DeviceInfo) +
                                   " at payload offset 12 does not decode");
}

TEST(PacketReader, FailedPacketKeepsThePreviousContainersForCarryOver) {
  VMemoryReader reader;
  reader.Append(EncodePacket({EncodeSubjectInfo(Subject(1, "First")), EncodeFrameNumber(10)}));
  // Decodes a subject, then fails on a string that runs past the payload.
  reader.Append(EncodePacket({EncodeSubjectInfo(Subject(2, "Second")),
                              EncodeRawObject(DeviceInfo, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0}, 16)}));
  reader.Append(EncodePacket({EncodePacketSummary({}, {SubjectInfo}), EncodeStreamInfo(5)}));

  VPacketReader packets;
  VPacketDelivery first, second, third;
  ASSERT_TRUE(packets.ReadPacket(reader, false, first));
  EXPECT_FALSE(packets.ReadPacket(reader, false, second));
  EXPECT_FALSE(second.Static);
  EXPECT_FALSE(second.Dynamic);
  ASSERT_TRUE(packets.ReadPacket(reader, false, third));
  ASSERT_TRUE(third.Static);
  ASSERT_EQ(third.Static->Subjects.size(), 1u);
  EXPECT_EQ(third.Static->Subjects[0].Name, "First");
  EXPECT_EQ(third.Static->StreamValue, 5);
  // Carried over by reference: the same entries, not a copy of them.
  EXPECT_TRUE(third.Static->Subjects.SharesWith(first.Static->Subjects));
  // The delivered container of the first packet is untouched by the merge.
  EXPECT_EQ(first.Static->StreamValue, 0);
}

TEST(SharedList, AChangeThroughOneCopyLeavesTheOthersAsTheyWere) {
  VSharedList<VSubjectInfo> original{Subject(1, "First")};
  VSharedList<VSubjectInfo> copy = original;
  EXPECT_TRUE(copy.SharesWith(original));
  copy.push_back(Subject(2, "Second"));
  copy[0].Name = "Renamed";
  EXPECT_FALSE(copy.SharesWith(original));
  ASSERT_EQ(original.size(), 1u);
  EXPECT_EQ(original[0].Name, "First");
  EXPECT_EQ(copy[0].Name, "Renamed");
  EXPECT_EQ(copy[1].Name, "Second");
  // A list changed while nothing shares it keeps its entries in place.
  const VSubjectInfo* entries = copy.Entries().data();
  copy.back().Name = "Last";
  EXPECT_EQ(copy.Entries().data(), entries);
  copy.clear();
  EXPECT_TRUE(copy.empty());
  EXPECT_FALSE(copy.SharesWith(VSharedList<VSubjectInfo>()));
}

TEST(PacketReader, CarryOverCopiesTheDynamicListsAndSharesVideoFrames) {
  VMarkerPosition marker{};
  marker.SubjectID = 3;
  marker.MarkerID = 4;
  marker.Position = {1.0, 2.0, 3.0};
  VMemoryReader reader;
  reader.Append(EncodePacket({EncodeFrameNumber(1), EncodeMarkerPositions({marker}),
                              EncodeVideoFrame(MosaicFrame())}));
  reader.Append(EncodePacket({EncodeFrameNumber(2),
                              EncodePacketSummary({{7, 8}}, {MarkerPositions, VideoFrame, ForceData})}));

  VPacketReader packets;
  VPacketDelivery first, second;
  ASSERT_TRUE(packets.ReadPacket(reader, false, first));
  ASSERT_TRUE(packets.ReadPacket(reader, false, second));
  ASSERT_TRUE(second.Dynamic);
  EXPECT_EQ(second.Dynamic->FrameNumber, 2);  // not carried: its own
  ASSERT_EQ(second.Dynamic->MarkerPositions.size(), 1u);
  EXPECT_EQ(second.Dynamic->MarkerPositions[0].Position[2], 3.0);
  ASSERT_EQ(second.Dynamic->VideoFrames.size(), 1u);
  EXPECT_EQ(second.Dynamic->VideoFrames[0], first.Dynamic->VideoFrames[0]);
  EXPECT_TRUE(second.Dynamic->Forces.empty());
  // The first container still holds what it was delivered with.
  EXPECT_EQ(first.Dynamic->MarkerPositions.size(), 1u);
  EXPECT_EQ(first.Dynamic->FrameNumber, 1);
}

TEST(PacketReader, VideoFramesAreConvertedOnlyWhenAsked) {
  VMemoryReader reader;
  reader.Append(EncodePacket({EncodeVideoFrame(MosaicFrame())}));
  reader.Append(EncodePacket({EncodeVideoFrame(MosaicFrame())}));
  VPacketReader packets;
  VPacketDelivery plain, converted;
  ASSERT_TRUE(packets.ReadPacket(reader, false, plain));
  ASSERT_TRUE(packets.ReadPacket(reader, true, converted));
  EXPECT_EQ(plain.Dynamic->VideoFrames[0]->Format, VideoFormat::MosaicA);
  EXPECT_EQ(plain.Dynamic->VideoFrames[0]->Data, MosaicFrame().Data);
  const VVideoFrame& frame = *converted.Dynamic->VideoFrames[0];
  EXPECT_EQ(frame.Format, VideoFormat::ThreeBytes);
  EXPECT_EQ(std::vector<uint8_t>(frame.Data.begin() + 12, frame.Data.end()),
            (std::vector<uint8_t>{60, 35, 10, 60, 45, 30, 80, 55, 30, 0, 0, 0}));
}

TEST(PacketReader, ObjectReadPastItsDeclaredEndIsPulledBack) {
  // A FrameNumber declared 2 bytes long: its decoder reads 4, the next object
  // starts at the declared end, inside the bytes the decoder used.
  VBytes odd = EncodeRawObject(FrameNumber, {0x07, 0x00}, 2);
  VBytes next = EncodeFrameNumber(9);  // begins right after the 2 declared bytes
  VMemoryReader reader(EncodePacket({odd, next}));
  VPacketReader packets;
  VPacketDelivery delivery;
  ASSERT_TRUE(packets.ReadPacket(reader, false, delivery));
  ASSERT_TRUE(delivery.Dynamic);
  EXPECT_EQ(delivery.Dynamic->FrameNumber, 9);
}

TEST(PacketReader, HandshakeRejectsHostileTypeListsWithoutReadingOn) {
  VWireBuffer hostile;
  hostile.Int32(0x7FFFFFFF).Int32(1).Int32(2);
  VMemoryReader reader(EncodePacket({EncodeObject(ObjectTypeList, hostile.Bytes())}));
  VPacketReader packets;
  EXPECT_FALSE(packets.ReadHandshake(reader));
  EXPECT_TRUE(packets.OfferedTypes().empty());

  VMemoryReader wrongMagic(EncodePacketWith(0x1A2B3C4E, {EncodeObjectTypeList(std::set<int32_t>{1})}));
  EXPECT_FALSE(packets.ReadHandshake(wrongMagic));
}

TEST(PacketReader, EveryCatalogueRouteCreatesOnlyItsContainer) {
  struct Case {
    VBytes Object;
    bool Static;
    bool Dynamic;
  };
  const Case cases[] = {
      {EncodeStreamInfo(1), true, false},
      {EncodeSubjectInfo(Subject(1, "S")), true, false},
      {EncodeDeviceInfo(VDeviceInfo{}), true, false},
      {EncodeDeviceOutputInfo(VDeviceOutputInfo{}), true, false},
      {EncodeNamedVectorInfo(VNamedVectorInfo{}), true, false},
      {EncodeNamedParameterInfo(VNamedParameterInfo{}), true, false},
      {EncodeWordBlockInfo(VWordBlockInfo{}), true, false},
      {EncodeFrameNumber(1), false, true},
      {EncodeMarkerPositions({}), false, true},
      {EncodeMarkerRecords({}), false, true},
      {EncodeGlobalSegmentPoses(VSegmentPoses{}), false, true},
      {EncodeGlobalSegmentPoses(VSegmentPoses{}, OtherSegmentPoses), false, false},
      {EncodeForceData(VDeviceOutputData{}), false, true},
      {EncodeMomentData(VDeviceOutputData{}), false, true},
      {EncodeCentreOfPressureData(VDeviceOutputData{}), false, true},
      {EncodeVoltageData(VDeviceOutputData{}), false, true},
      {EncodeBlockData(VBlockData{}), false, true},
      {EncodeChunkData(VChunkData{}), false, true},
      {EncodeShortRecordData(VShortRecordData{}), false, true},
      {EncodeVideoFrame(VVideoFrame{}), false, true},
      {EncodePacketSummary({}, {}), false, false},
      {EncodeObject(Reserved15, {1, 2, 3}), false, false},
      {EncodeObject(Reserved21, {}), false, false},
      {EncodeObject(100003, {1, 2, 3, 4}), false, false},
  };
  for (const Case& c : cases) {
    VMemoryReader reader(EncodePacket({c.Object}));
    VPacketReader packets;
    VPacketDelivery delivery;
    const int32_t type = static_cast<int32_t>(c.Object[0] | c.Object[1] << 8 | c.Object[2] << 16 |
                                              c.Object[3] << 24);
    ASSERT_TRUE(packets.ReadPacket(reader, false, delivery)) << type;
    EXPECT_EQ(static_cast<bool>(delivery.Static), c.Static) << type;
    EXPECT_EQ(static_cast<bool>(delivery.Dynamic), c.Dynamic) << type;
  }
}

TEST(PacketReader, DecodingTheHeldPayloadAgainGivesFreshContainersThatCarryOver) {
  VMarkerPosition marker{};
  marker.MarkerID = 9;
  marker.Position = {4.0, 5.0, 6.0};
  VMemoryReader reader(EncodePacket({EncodeStreamInfo(3), EncodeFrameNumber(7), EncodeMarkerPositions({marker})}));
  VPacketReader packets;
  VPacketDelivery read, decoded;
  ASSERT_TRUE(packets.ReadPacket(reader, false, read));

  // The payload stays in the reader's buffer: decoding it again from its
  // start gives new containers with the same contents.
  reader.SetPosition(0);
  ASSERT_TRUE(packets.DecodePacket(reader, false, decoded));
  ASSERT_TRUE(decoded.Static && decoded.Dynamic);
  EXPECT_NE(decoded.Dynamic, read.Dynamic);
  EXPECT_NE(decoded.Static, read.Static);
  EXPECT_EQ(decoded.Static->StreamValue, 3);
  EXPECT_EQ(decoded.Dynamic->FrameNumber, 7);
  ASSERT_EQ(decoded.Dynamic->MarkerPositions.size(), 1u);
  EXPECT_EQ(decoded.Dynamic->MarkerPositions[0].MarkerID, 9);

  // The re-decoded containers are now the previous ones a summary carries
  // from: a frame that carries its markers over gets them.
  reader.Append(EncodePacket({EncodeFrameNumber(8), EncodePacketSummary({}, {MarkerPositions})}));
  VPacketDelivery next;
  ASSERT_TRUE(packets.ReadPacket(reader, false, next));
  ASSERT_TRUE(next.Dynamic);
  ASSERT_EQ(next.Dynamic->MarkerPositions.size(), 1u);
  EXPECT_EQ(next.Dynamic->MarkerPositions[0].Position[1], 5.0);
  EXPECT_EQ(next.Dynamic->FrameNumber, 8);
}

namespace {

// A frame whose every value derives from its number: `subjects` pose groups
// of `subjects` poses, one force output of 3 * `subjects` samples and
// `markers` marker positions.
VBytes ShapedFrame(int32_t number, int32_t subjects, int32_t markers) {
  std::vector<VBytes> objects{EncodeFrameNumber(number)};
  VRecordArray<VMarkerPosition> positions(static_cast<std::size_t>(markers));
  for (int32_t m = 0; m < markers; ++m) positions[m] = MakeMarkerPosition(0, m + 1, {number * 1.0, m * 1.0, 0.0});
  objects.push_back(EncodeMarkerPositions(positions));
  for (int32_t s = 0; s < subjects; ++s) {
    VSegmentPoses group;
    group.SubjectID = s + 1;
    for (int32_t g = 0; g < subjects; ++g) group.Poses.push_back(MakePose(g + 1, {number * 1.0, s * 1.0, g * 1.0}, {}));
    objects.push_back(EncodeGlobalSegmentPoses(group));
  }
  VDeviceOutputData force;
  force.DeviceID = number;
  for (int32_t i = 0; i < 3 * subjects; ++i) force.Samples.push_back(static_cast<float>(number + i));
  objects.push_back(EncodeForceData(force));
  return EncodePacket(objects);
}

// Fails the calling test unless `objects` is exactly what ShapedFrame sent.
void ExpectShapedFrame(const VDynamicObjects& objects, int32_t number, int32_t subjects,
                       int32_t markers) {
  EXPECT_EQ(objects.FrameNumber, number);
  ASSERT_EQ(objects.MarkerPositions.size(), static_cast<std::size_t>(markers));
  for (int32_t m = 0; m < markers; ++m) {
    EXPECT_EQ(objects.MarkerPositions[m].MarkerID, m + 1);
    EXPECT_EQ(objects.MarkerPositions[m].Position[0], number * 1.0);
  }
  ASSERT_EQ(objects.GlobalSegmentPoses.size(), static_cast<std::size_t>(subjects));
  for (int32_t s = 0; s < subjects; ++s) {
    const VSegmentPoses& group = objects.GlobalSegmentPoses[s];
    EXPECT_EQ(group.SubjectID, s + 1);
    ASSERT_EQ(group.Poses.size(), static_cast<std::size_t>(subjects));
    for (int32_t g = 0; g < subjects; ++g) {
      EXPECT_EQ(group.Poses[g].SegmentID, g + 1);
      EXPECT_EQ(group.Poses[g].Translation, (std::array<double, 3>{number * 1.0, s * 1.0, g * 1.0}));
    }
  }
  ASSERT_EQ(objects.Forces.size(), 1u);
  EXPECT_EQ(objects.Forces[0].DeviceID, number);
  ASSERT_EQ(objects.Forces[0].Samples.size(), static_cast<std::size_t>(3 * subjects));
  for (int32_t i = 0; i < 3 * subjects; ++i) EXPECT_EQ(objects.Forces[0].Samples[i], number + i);
  EXPECT_TRUE(objects.Moments.empty());
  EXPECT_TRUE(objects.VideoFrames.empty());
}

// What the receiving thread does between packets before each read in the
// reuse tests: nothing, readying the next container (PrepareNext), or that
// and then rehearsing the last frame's decode into it, as an idle receiving
// thread does.
enum class EBetweenPackets { Nothing, Ready, ReadyAndRehearse };

class PacketReaderReuse : public ::testing::TestWithParam<EBetweenPackets> {
 protected:
  VReadResult Read(VPacketReader& packets, VMemoryReader& reader, VPacketDelivery& delivery) {
    if (GetParam() != EBetweenPackets::Nothing) packets.PrepareNext();
    if (GetParam() == EBetweenPackets::ReadyAndRehearse) packets.Rehearse(reader);
    return packets.ReadPacket(reader, false, delivery);
  }
};

std::string BetweenPacketsName(const ::testing::TestParamInfo<EBetweenPackets>& info) {
  const char* names[] = {"OnArrival", "Readied", "Rehearsed"};
  return names[static_cast<int>(info.param)];
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(PacketReader, PacketReaderReuse,
                         ::testing::Values(EBetweenPackets::Nothing, EBetweenPackets::Ready,
                                           EBetweenPackets::ReadyAndRehearse),
                         BetweenPacketsName);

TEST_P(PacketReaderReuse, ContainersLetGoOfAreRefilledWhileHeldOnesStayAsDelivered) {
  // Frame shapes that grow, shrink and vanish, so a refilled container has
  // more, fewer or no lists to spare.
  const int32_t subjects[] = {3, 3, 5, 1, 0, 4, 4, 2, 6, 3};
  const int32_t markers[] = {50, 50, 0, 80, 10, 0, 50, 50, 3, 50};
  VMemoryReader reader;
  for (int32_t n = 0; n < 10; ++n) reader.Append(ShapedFrame(n + 1, subjects[n], markers[n]));
  // Frame 11 carries its markers over from frame 10.
  reader.Append(EncodePacket({EncodeFrameNumber(11), EncodePacketSummary({}, {MarkerPositions})}));

  VPacketDelivery held;  // frame 1, kept by "the host" throughout
  bool refilled = false;
  {
    VPacketReader packets;
    ASSERT_TRUE(Read(packets, reader, held));
    ASSERT_TRUE(held.Dynamic);
    for (int32_t n = 1; n < 10; ++n) {
      VPacketDelivery delivery;
      ASSERT_TRUE(Read(packets, reader, delivery));
      ASSERT_TRUE(delivery.Dynamic);
      ASSERT_NE(delivery.Dynamic, held.Dynamic);
      ExpectShapedFrame(*delivery.Dynamic, n + 1, subjects[n], markers[n]);
      // A container that comes back keeps the capacity of its lists: an
      // empty marker list with room for markers was refilled, not new (a
      // new container reserves no marker list).
      if (markers[n] == 0 && delivery.Dynamic->MarkerPositions.capacity() >= 50) refilled = true;
    }
    VPacketDelivery carried;
    ASSERT_TRUE(Read(packets, reader, carried));
    ASSERT_TRUE(carried.Dynamic);
    EXPECT_EQ(carried.Dynamic->FrameNumber, 11);
    ASSERT_EQ(carried.Dynamic->MarkerPositions.size(), 50u);
    EXPECT_EQ(carried.Dynamic->MarkerPositions[49].Position[0], 10.0);

    ExpectShapedFrame(*held.Dynamic, 1, subjects[0], markers[0]);
  }
  EXPECT_TRUE(refilled);
  // The reader is gone; containers still held are freed normally when let go.
  ExpectShapedFrame(*held.Dynamic, 1, subjects[0], markers[0]);
  held = VPacketDelivery{};
}

TEST_P(PacketReaderReuse, ContainersGrownByALargeFrameAreNotKeptForSmallOnes) {
  // Two frames of 3000 markers (336 000 bytes of records), then frames of
  // 10: the container readied after the second large frame, for a packet
  // as large, is not the one a small frame gets.
  VMemoryReader reader;
  for (int32_t n = 1; n <= 8; ++n) reader.Append(ShapedFrame(n, 2, n <= 2 ? 3000 : 10));
  VPacketReader packets;
  for (int32_t n = 1; n <= 8; ++n) {
    VPacketDelivery delivery;
    ASSERT_TRUE(Read(packets, reader, delivery));
    ASSERT_TRUE(delivery.Dynamic);
    ExpectShapedFrame(*delivery.Dynamic, n, 2, n <= 2 ? 3000 : 10);
    // The large frames' containers come back while frames 3 to 5 are read;
    // neither is refilled with a small frame.
    if (n > 2) {
      EXPECT_LT(delivery.Dynamic->MarkerPositions.capacity(), 3000u) << n;
    }
  }
}
