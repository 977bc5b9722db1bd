// The static and dynamic payload decoders on hand-made payloads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "serve/wire_encoder.h"
#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"
#include "testing/memory_reader_writer.h"
#include "testing/wire_bytes.h"

using namespace LumoraQSStream;
using QSTesting::VMemoryReader;
using LumoraQSServe::VWireBuffer;
using QSTesting::LoadPayload;

namespace {

constexpr int32_t MaxCount = std::numeric_limits<int32_t>::max();

// --- Payloads ------------------------------------------------------------

std::vector<uint8_t> SubjectPayload() {
  return VWireBuffer()
      .Int32(4)
      .String("Runner")
      .Int32(1)  // segments
      .Int32(-9)
      .Int32(31)
      .UInt32(1).UInt32(2).UInt32(3).UInt32(4).UInt32(5).UInt32(0xFFFFFFFFu)
      .String("Thorax")
      .Int32(2)  // markers
      .Int32(41)
      .String("C7")
      .Int32(42)
      .String("")
      .Int32(1)  // pairs
      .UInt32(7)
      .UInt32(0x80000000u)
      .Bytes();
}

std::vector<uint8_t> DeviceOutputPayload() {
  return VWireBuffer().Int32(3).Int32(-8).String("Force").Int32(3).String("Fx").String("Fy").String("Fz").Bytes();
}

std::vector<uint8_t> ChunkPayload() {
  return VWireBuffer()
      .Int32(-1)
      .Int32(2)
      .Int32(2)  // groups
      .Int32(1)  // chunks in group 0
      .UInt16(0xFFFE).UInt16(1).UInt16(3).Byte(9).Byte(8).Byte(7)
      .Int32(0)  // group 1 is empty
      .Bytes();
}

std::vector<uint8_t> VoltagePayload() {
  VWireBuffer bytes;
  bytes.Int32(-5).Int32(2).Int32(6).Int32(10);
  for (int i = 0; i < 10; ++i) bytes.Float(0.25f * static_cast<float>(i) - 1.0f);
  return bytes.Bytes();
}

std::vector<uint8_t> VideoPayload() {
  return VWireBuffer()
      .Int32(1).Int32(-2).UInt16(0xFFFF).UInt16(4).UInt16(4).UInt16(2).Int32(3).Int32(8)
      .Byte(10).Byte(20).Byte(30).Byte(40).Byte(50).Byte(60).Byte(70).Byte(80)
      .Bytes();
}

// --- Every decoder: a complete payload decodes and consumes exactly its
// bytes; every shorter prefix of it fails. ----------------------------------

struct DecoderCase {
  const char* Name;
  std::vector<uint8_t> Payload;
  std::function<bool(LumoraQSStreamIO::VReader&)> Decode;
};

std::vector<DecoderCase> AllDecoders() {
  std::vector<DecoderCase> cases;
  cases.push_back({"StreamInfo", VWireBuffer().Int64(-3).Bytes(), [](auto& r) {
                     int64_t v = 0;
                     return DecodeStreamInfo(r, v);
                   }});
  cases.push_back({"SubjectInfo", SubjectPayload(), [](auto& r) {
                     VSubjectInfo v;
                     return DecodeSubjectInfo(r, v);
                   }});
  cases.push_back({"DeviceInfo", VWireBuffer().Int32(1).Int64(2).String("plate").Bytes(), [](auto& r) {
                     VDeviceInfo v;
                     return DecodeDeviceInfo(r, v);
                   }});
  cases.push_back({"DeviceOutputInfo", DeviceOutputPayload(), [](auto& r) {
                     VDeviceOutputInfo v;
                     return DecodeDeviceOutputInfo(r, v);
                   }});
  cases.push_back({"NamedVectorInfo",
                   VWireBuffer().Int32(1).Int64(2).String("v").Double(1).Double(2).Double(3).Bytes(), [](auto& r) {
                     VNamedVectorInfo v;
                     return DecodeNamedVectorInfo(r, v);
                   }});
  cases.push_back({"NamedParameterInfo",
                   VWireBuffer().Int32(1).String("cam").Raw(std::vector<uint8_t>(19 * 8, 0x3F)).Bytes(), [](auto& r) {
                     VNamedParameterInfo v;
                     return DecodeNamedParameterInfo(r, v);
                   }});
  cases.push_back({"WordBlockInfo", VWireBuffer().Int32(1).Raw(std::vector<uint8_t>(120, 0x11)).Bytes(), [](auto& r) {
                     VWordBlockInfo v;
                     return DecodeWordBlockInfo(r, v);
                   }});
  cases.push_back({"FrameNumber", VWireBuffer().Int32(77).Bytes(), [](auto& r) {
                     int32_t v = 0;
                     return DecodeFrameNumber(r, v);
                   }});
  cases.push_back({"MarkerPositions", VWireBuffer().Int32(2).Raw(std::vector<uint8_t>(224, 0x40)).Bytes(), [](auto& r) {
                     VRecordArray<VMarkerPosition> v;
                     return DecodeMarkerPositions(r, v);
                   }});
  cases.push_back({"MarkerRecords", VWireBuffer().Int32(1).Raw(std::vector<uint8_t>(104, 0x41)).Bytes(), [](auto& r) {
                     VRecordArray<VMarkerRecord> v;
                     return DecodeMarkerRecords(r, v);
                   }});
  cases.push_back({"GlobalSegmentPoses", VWireBuffer().Int32(3).Int32(2).Raw(std::vector<uint8_t>(208, 0x3F)).Bytes(),
                   [](auto& r) {
                     VSegmentPoses v;
                     return DecodeSegmentPoses(r, v);
                   }});
  cases.push_back({"DeviceOutputData", VoltagePayload(), [](auto& r) {
                     VDeviceOutputData v;
                     return DecodeDeviceOutputData(r, v);
                   }});
  cases.push_back({"BlockData", VWireBuffer().Int32(1).Int32(2).Int32(2).Raw(std::vector<uint8_t>(64, 5)).Bytes(), [](auto& r) {
                     VBlockData v;
                     return DecodeBlockData(r, v);
                   }});
  cases.push_back({"ChunkData", ChunkPayload(), [](auto& r) {
                     VChunkData v;
                     return DecodeChunkData(r, v);
                   }});
  cases.push_back({"ShortRecordData", VWireBuffer().Int32(1).Int32(2).Int32(3).Raw(std::vector<uint8_t>(18, 6)).Bytes(),
                   [](auto& r) {
                     VShortRecordData v;
                     return DecodeShortRecordData(r, v);
                   }});
  cases.push_back({"VideoFrame", VideoPayload(), [](auto& r) {
                     VVideoFrame v;
                     return DecodeVideoFrame(r, v);
                   }});
  cases.push_back({"PacketSummary", VWireBuffer().Int32(1).Int32(4).Int32(5).Int32(2).Int32(2).Int32(6).Bytes(),
                   [](auto& r) {
                     VPacketSummary v;
                     return DecodePacketSummary(r, v);
                   }});
  cases.push_back({"ObjectTypeList", VWireBuffer().Int32(2).Int32(1).Int32(9).Bytes(), [](auto& r) {
                     std::set<int32_t> v;
                     return DecodeObjectTypeList(r, v);
                   }});
  return cases;
}

TEST(Decoders, CompletePayloadConsumesExactlyItsBytes) {
  for (const DecoderCase& entry : AllDecoders()) {
    SCOPED_TRACE(entry.Name);
    VMemoryReader reader;
    // Trailing bytes behind the payload must stay unread.
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Raw(entry.Payload).Int32(-1).Int32(-1).Bytes()));
    EXPECT_TRUE(entry.Decode(reader));
    EXPECT_EQ(reader.Position(), entry.Payload.size());
  }
}

TEST(Decoders, EveryTruncatedPayloadFails) {
  for (const DecoderCase& entry : AllDecoders()) {
    for (std::size_t length = 0; length < entry.Payload.size(); ++length) {
      VMemoryReader reader;
      const std::vector<uint8_t> prefix(entry.Payload.begin(),
                                        entry.Payload.begin() + static_cast<std::ptrdiff_t>(length));
      ASSERT_TRUE(LoadPayload(reader, prefix));
      EXPECT_FALSE(entry.Decode(reader)) << entry.Name << " decoded from " << length << " of "
                                         << entry.Payload.size() << " bytes";
    }
  }
}

// --- Static payloads ----------------------------------------------------------

TEST(StaticDecoders, SubjectFields) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, SubjectPayload()));
  VSubjectInfo subject;
  ASSERT_TRUE(DecodeSubjectInfo(reader, subject));
  EXPECT_EQ(subject.SubjectID, 4);
  EXPECT_EQ(subject.Name, "Runner");
  ASSERT_EQ(subject.Segments.size(), 1u);
  EXPECT_EQ(subject.Segments[0].Value0, -9);
  EXPECT_EQ(subject.Segments[0].SegmentID, 31);
  EXPECT_EQ(subject.Segments[0].Values, (std::array<uint32_t, 6>{1, 2, 3, 4, 5, 0xFFFFFFFFu}));
  EXPECT_EQ(subject.Segments[0].Name, "Thorax");
  ASSERT_EQ(subject.Markers.size(), 2u);
  EXPECT_EQ(subject.Markers[0].MarkerID, 41);
  EXPECT_EQ(subject.Markers[0].Name, "C7");
  EXPECT_EQ(subject.Markers[1].MarkerID, 42);
  EXPECT_EQ(subject.Markers[1].Name, "");
  ASSERT_EQ(subject.Pairs.size(), 1u);
  EXPECT_EQ(subject.Pairs[0].First, 7u);
  EXPECT_EQ(subject.Pairs[0].Second, 0x80000000u);
}

TEST(StaticDecoders, SubjectWithNothingDecodesFromTwentyBytesPlusName) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(1).String("ab").Int32(0).Int32(0).Int32(0).Bytes()));
  VSubjectInfo subject;
  ASSERT_TRUE(DecodeSubjectInfo(reader, subject));
  EXPECT_EQ(reader.Position(), 4u + 4 + 2 + 12);
  EXPECT_TRUE(subject.Segments.empty());
  EXPECT_TRUE(subject.Markers.empty());
  EXPECT_TRUE(subject.Pairs.empty());
}

TEST(StaticDecoders, HostileSubjectCountsFailBeforeAnythingIsReserved) {
  // Segment count 2^31-1 with a few bytes behind it.
  {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(1).String("").Int32(MaxCount).Raw(std::vector<uint8_t>(40, 0)).Bytes()));
    VSubjectInfo subject;
    EXPECT_FALSE(DecodeSubjectInfo(reader, subject));
    EXPECT_EQ(subject.Segments.capacity(), 0u);
  }
  // Marker count 2^31-1.
  {
    VMemoryReader reader;
    ASSERT_TRUE(
        LoadPayload(reader, VWireBuffer().Int32(1).String("").Int32(0).Int32(MaxCount).Raw(std::vector<uint8_t>(16, 0)).Bytes()));
    VSubjectInfo subject;
    EXPECT_FALSE(DecodeSubjectInfo(reader, subject));
    EXPECT_EQ(subject.Markers.capacity(), 0u);
  }
  // Pair count 2^31-1, and negative counts everywhere.
  {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(
        reader, VWireBuffer().Int32(1).String("").Int32(0).Int32(0).Int32(MaxCount).Raw(std::vector<uint8_t>(16, 0)).Bytes()));
    VSubjectInfo subject;
    EXPECT_FALSE(DecodeSubjectInfo(reader, subject));
    EXPECT_EQ(subject.Pairs.capacity(), 0u);
  }
  for (int field = 0; field < 3; ++field) {
    VWireBuffer bytes;
    bytes.Int32(1).String("");
    for (int i = 0; i < 3; ++i) bytes.Int32(i == field ? -1 : 0);
    bytes.Raw(std::vector<uint8_t>(64, 0));
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, bytes.Bytes()));
    VSubjectInfo subject;
    EXPECT_FALSE(DecodeSubjectInfo(reader, subject)) << "negative count in field " << field;
  }
}

TEST(StaticDecoders, HostileComponentNameCountFails) {
  for (int32_t count : {MaxCount, -1}) {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(1).Int32(2).String("x").Int32(count).Raw(std::vector<uint8_t>(12, 0)).Bytes()));
    VDeviceOutputInfo output;
    EXPECT_FALSE(DecodeDeviceOutputInfo(reader, output)) << count;
    EXPECT_EQ(output.ComponentNames.capacity(), 0u) << count;
  }
}

TEST(StaticDecoders, ComponentNamesInOrder) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, DeviceOutputPayload()));
  VDeviceOutputInfo output;
  ASSERT_TRUE(DecodeDeviceOutputInfo(reader, output));
  EXPECT_EQ(output.DeviceID, 3);
  EXPECT_EQ(output.OutputID, -8);
  EXPECT_EQ(output.Name, "Force");
  EXPECT_EQ(output.ComponentNames, (std::vector<std::string>{"Fx", "Fy", "Fz"}));
}

TEST(StaticDecoders, ParameterAndWordBlocksKeepEveryValueInOrder) {
  VWireBuffer parameters;
  parameters.Int32(-4).String("Camera");
  for (int i = 0; i < 19; ++i) parameters.Double(i * 1.5 - 3);
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, parameters.Bytes()));
  VNamedParameterInfo info;
  ASSERT_TRUE(DecodeNamedParameterInfo(reader, info));
  EXPECT_EQ(info.ID, -4);
  EXPECT_EQ(info.Name, "Camera");
  for (int i = 0; i < 19; ++i) EXPECT_EQ(info.Parameters[static_cast<std::size_t>(i)], i * 1.5 - 3);

  VWireBuffer words;
  words.Int32(-1);
  for (uint32_t i = 0; i < 30; ++i) words.UInt32(0xF0000000u + i);
  ASSERT_EQ(words.Size(), 124u);
  VMemoryReader wordReader;
  ASSERT_TRUE(LoadPayload(wordReader, words.Bytes()));
  VWordBlockInfo block;
  ASSERT_TRUE(DecodeWordBlockInfo(wordReader, block));
  EXPECT_EQ(block.Value0, -1);
  for (uint32_t i = 0; i < 30; ++i) EXPECT_EQ(block.Words[i], 0xF0000000u + i);
}

TEST(StaticDecoders, ContainerRoutingByType) {
  VStaticObjects objects;
  const std::vector<uint8_t> device = VWireBuffer().Int32(1).Int64(2).String("").Bytes();
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, device));
  ASSERT_TRUE(DecodeStaticObject(DeviceInfo, reader, objects));
  reader.SetPosition(0);
  ASSERT_TRUE(DecodeStaticObject(DeviceInfo, reader, objects));
  EXPECT_EQ(objects.Devices.size(), 2u);  // appends

  // Types that are not static are refused and change nothing.
  for (int32_t type : {0, 5, 8, 15, 21, 22, 23, 100001, 100004, -2}) {
    reader.SetPosition(0);
    EXPECT_FALSE(DecodeStaticObject(type, reader, objects)) << type;
  }
  EXPECT_EQ(objects.Devices.size(), 2u);
  EXPECT_TRUE(objects.Subjects.empty());
  EXPECT_TRUE(objects.DeviceOutputs.empty());
  EXPECT_TRUE(objects.NamedVectorInfos.empty());
  EXPECT_TRUE(objects.NamedParameterInfos.empty());
  EXPECT_TRUE(objects.WordBlockInfos.empty());
}

// --- Dynamic payloads ---------------------------------------------------------

TEST(DynamicDecoders, VoltageWithTenSamples) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VoltagePayload()));
  VDynamicObjects objects;
  ASSERT_TRUE(DecodeDynamicObject(VoltageData, reader, objects));
  ASSERT_EQ(objects.Voltages.size(), 1u);
  const VDeviceOutputData& data = objects.Voltages[0];
  EXPECT_EQ(data.Value0, -5);
  EXPECT_EQ(data.DeviceID, 2);
  EXPECT_EQ(data.OutputID, 6);
  ASSERT_EQ(data.Samples.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(data.Samples[i], 0.25f * static_cast<float>(i) - 1.0f) << i;
  }
  // With two components, the second one starts at sample 10 / 2 = 5.
  EXPECT_EQ(data.Samples[10 / 2], 0.25f);
  EXPECT_TRUE(objects.Forces.empty());
  EXPECT_TRUE(objects.Moments.empty());
  EXPECT_TRUE(objects.CentresOfPressure.empty());
}

TEST(DynamicDecoders, SamplesAreKeptBitForBit) {
  const uint32_t patterns[] = {0x7F800000u /* +inf */, 0x00000001u /* denormal */,
                               0x80000000u /* -0 */, 0x7FC00001u /* NaN payload */};
  VWireBuffer bytes;
  bytes.Int32(0).Int32(1).Int32(1).Int32(4);
  for (uint32_t bits : patterns) bytes.UInt32(bits);
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, bytes.Bytes()));
  VDeviceOutputData data;
  ASSERT_TRUE(DecodeDeviceOutputData(reader, data));
  ASSERT_EQ(data.Samples.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    uint32_t bits = 0;
    std::memcpy(&bits, &data.Samples[i], 4);
    EXPECT_EQ(bits, patterns[i]) << i;
  }
}

TEST(DynamicDecoders, ChunkLengthIsUnsigned) {
  VWireBuffer full;
  full.Int32(1).Int32(2).Int32(1).Int32(1).UInt16(3).UInt16(4).UInt16(0xFFFF);
  for (int i = 0; i < 0xFFFF; ++i) full.Byte(static_cast<uint8_t>(i));
  {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, full.Bytes()));
    VChunkData data;
    ASSERT_TRUE(DecodeChunkData(reader, data));
    ASSERT_EQ(data.Groups.size(), 1u);
    ASSERT_EQ(data.Groups[0].size(), 1u);
    const VChunk& chunk = data.Groups[0][0];
    EXPECT_EQ(chunk.Value0, 3);
    EXPECT_EQ(chunk.Value1, 4);
    ASSERT_EQ(chunk.Bytes.size(), 65535u);
    EXPECT_EQ(chunk.Bytes[65534], static_cast<uint8_t>(65534));
    EXPECT_EQ(reader.Position(), full.Size());
  }
  {
    std::vector<uint8_t> cut = full.Bytes();
    cut.pop_back();
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, cut));
    VChunkData data;
    EXPECT_FALSE(DecodeChunkData(reader, data));
  }
}

TEST(DynamicDecoders, ChunkGroupsInWireOrder) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, ChunkPayload()));
  VChunkData data;
  ASSERT_TRUE(DecodeChunkData(reader, data));
  EXPECT_EQ(data.Value0, -1);
  EXPECT_EQ(data.Value1, 2);
  ASSERT_EQ(data.Groups.size(), 2u);
  ASSERT_EQ(data.Groups[0].size(), 1u);
  EXPECT_EQ(data.Groups[0][0].Value0, 0xFFFE);
  EXPECT_EQ(data.Groups[0][0].Value1, 1);
  EXPECT_EQ(data.Groups[0][0].Bytes, (VRecordArray<uint8_t>{9, 8, 7}));
  EXPECT_TRUE(data.Groups[1].empty());
}

TEST(DynamicDecoders, HostileChunkCountsFail) {
  for (int32_t count : {MaxCount, -1}) {
    VMemoryReader groups;
    ASSERT_TRUE(LoadPayload(groups, VWireBuffer().Int32(0).Int32(0).Int32(count).Raw(std::vector<uint8_t>(16, 0)).Bytes()));
    VChunkData data;
    EXPECT_FALSE(DecodeChunkData(groups, data)) << count;
    EXPECT_EQ(data.Groups.capacity(), 0u) << count;

    VMemoryReader chunks;
    ASSERT_TRUE(LoadPayload(chunks, VWireBuffer().Int32(0).Int32(0).Int32(1).Int32(count).Raw(std::vector<uint8_t>(16, 0)).Bytes()));
    VChunkData nested;
    EXPECT_FALSE(DecodeChunkData(chunks, nested)) << count;
    for (const auto& group : nested.Groups) EXPECT_EQ(group.capacity(), 0u) << count;
  }
}

TEST(DynamicDecoders, HostileRecordCountsLeaveListsUnsized) {
  const std::vector<uint8_t> tail(24, 0);
  for (int32_t count : {MaxCount, -1}) {
    SCOPED_TRACE(count);
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(count).Raw(tail).Bytes()));
    VRecordArray<VMarkerPosition> positions;
    EXPECT_FALSE(DecodeMarkerPositions(reader, positions));
    EXPECT_EQ(positions.capacity(), 0u);
    reader.SetPosition(0);
    VRecordArray<VMarkerRecord> records;
    EXPECT_FALSE(DecodeMarkerRecords(reader, records));
    EXPECT_EQ(records.capacity(), 0u);

    VMemoryReader poseReader;
    ASSERT_TRUE(LoadPayload(poseReader, VWireBuffer().Int32(1).Int32(count).Raw(tail).Bytes()));
    VSegmentPoses poses;
    EXPECT_FALSE(DecodeSegmentPoses(poseReader, poses));
    EXPECT_EQ(poses.Poses.capacity(), 0u);

    VMemoryReader sampleReader;
    ASSERT_TRUE(LoadPayload(sampleReader, VWireBuffer().Int32(0).Int32(1).Int32(2).Int32(count).Raw(tail).Bytes()));
    VDeviceOutputData samples;
    EXPECT_FALSE(DecodeDeviceOutputData(sampleReader, samples));
    EXPECT_EQ(samples.Samples.capacity(), 0u);

    VMemoryReader blockReader;
    ASSERT_TRUE(LoadPayload(blockReader, VWireBuffer().Int32(0).Int32(1).Int32(count).Raw(tail).Bytes()));
    VBlockData blocks;
    EXPECT_FALSE(DecodeBlockData(blockReader, blocks));
    EXPECT_EQ(blocks.Blocks.capacity(), 0u);
    blockReader.SetPosition(0);
    VShortRecordData shorts;
    EXPECT_FALSE(DecodeShortRecordData(blockReader, shorts));
    EXPECT_EQ(shorts.Records.capacity(), 0u);

    VMemoryReader videoReader;
    ASSERT_TRUE(LoadPayload(
        videoReader, VWireBuffer().Int32(0).Int32(0).UInt16(0).UInt16(0).UInt16(2).UInt16(2).Int32(3).Int32(count).Raw(tail).Bytes()));
    VVideoFrame frame;
    EXPECT_FALSE(DecodeVideoFrame(videoReader, frame));
    EXPECT_EQ(frame.Data.capacity(), 0u);
  }
}

TEST(DynamicDecoders, MarkerPositionsReplaceTheListAndCountZeroEmptiesIt) {
  VWireBuffer two;
  two.Int32(2);
  for (int i = 0; i < 2; ++i) {
    two.Int32(10 + i).Int32(20 + i).Raw(std::vector<uint8_t>(8, 0xEE)).Double(1.0 + i).Double(2.0).Double(3.0);
    for (int k = 0; k < 9; ++k) two.Double(-k);
  }
  VDynamicObjects objects;
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, two.Bytes()));
  ASSERT_TRUE(DecodeDynamicObject(MarkerPositions, reader, objects));
  ASSERT_EQ(objects.MarkerPositions.size(), 2u);
  EXPECT_EQ(objects.MarkerPositions[1].SubjectID, 11);
  EXPECT_EQ(objects.MarkerPositions[1].MarkerID, 21);
  EXPECT_EQ(objects.MarkerPositions[1].Reserved[7], 0xEE);
  EXPECT_EQ(objects.MarkerPositions[1].Position[0], 2.0);
  EXPECT_EQ(objects.MarkerPositions[1].Trailing[8], -8.0);

  // A failed decode leaves the list as it was.
  VMemoryReader broken;
  ASSERT_TRUE(LoadPayload(broken, VWireBuffer().Int32(3).Raw(std::vector<uint8_t>(112 * 2, 0)).Bytes()));
  EXPECT_FALSE(DecodeDynamicObject(MarkerPositions, broken, objects));
  EXPECT_EQ(objects.MarkerPositions.size(), 2u);

  VMemoryReader empty;
  ASSERT_TRUE(LoadPayload(empty, VWireBuffer().Int32(0).Bytes()));
  ASSERT_TRUE(DecodeDynamicObject(MarkerPositions, empty, objects));
  EXPECT_TRUE(objects.MarkerPositions.empty());
}

TEST(DynamicDecoders, SegmentPoseRecordLayout) {
  VWireBuffer bytes;
  bytes.Int32(5).Int32(1).Int32(17).Byte(1).Byte(2).Byte(3).Byte(4).Double(0.5).Double(-0.5).Double(100);
  for (int k = 0; k < 9; ++k) bytes.Double(k * 0.125);
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, bytes.Bytes()));
  VDynamicObjects objects;
  ASSERT_TRUE(DecodeDynamicObject(GlobalSegmentPoses, reader, objects));
  ASSERT_EQ(objects.GlobalSegmentPoses.size(), 1u);
  const VSegmentPoses& group = objects.GlobalSegmentPoses[0];
  EXPECT_EQ(group.SubjectID, 5);
  ASSERT_EQ(group.Poses.size(), 1u);
  EXPECT_EQ(group.Poses[0].SegmentID, 17);
  EXPECT_EQ(group.Poses[0].Reserved, (std::array<uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(group.Poses[0].Translation, (std::array<double, 3>{0.5, -0.5, 100}));
  for (std::size_t k = 0; k < 9; ++k) EXPECT_EQ(group.Poses[0].Rotation[k], k * 0.125);
  EXPECT_TRUE(objects.OtherSegmentPoses.empty());
}

TEST(DynamicDecoders, VideoFrameFields) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VideoPayload()));
  ASSERT_EQ(VideoPayload().size(), 32u);
  VDynamicObjects objects;
  ASSERT_TRUE(DecodeDynamicObject(VideoFrame, reader, objects));
  ASSERT_EQ(objects.VideoFrames.size(), 1u);
  ASSERT_NE(objects.VideoFrames[0], nullptr);
  const VVideoFrame& frame = *objects.VideoFrames[0];
  EXPECT_EQ(frame.Value0, 1);
  EXPECT_EQ(frame.Value1, -2);
  EXPECT_EQ(frame.Value2, 0xFFFF);
  EXPECT_EQ(frame.Value3, 4);
  EXPECT_EQ(frame.Width, 4);
  EXPECT_EQ(frame.Height, 2);
  EXPECT_EQ(frame.Format, 3);
  EXPECT_EQ(frame.Data, (VRecordArray<uint8_t>{10, 20, 30, 40, 50, 60, 70, 80}));
}

TEST(DynamicDecoders, EachTypeGoesToItsOwnList) {
  const std::vector<uint8_t> samples = VWireBuffer().Int32(0).Int32(1).Int32(2).Int32(1).Float(1.5f).Bytes();
  const std::vector<uint8_t> pair = VWireBuffer().Int32(1).Int32(2).Int32(0).Bytes();
  struct Route {
    int32_t Type;
    std::vector<uint8_t> Payload;
    std::function<std::size_t(const VDynamicObjects&)> Size;
  };
  const Route routes[] = {
      {ForceData, samples, [](const auto& o) { return o.Forces.size(); }},
      {MomentData, samples, [](const auto& o) { return o.Moments.size(); }},
      {CentreOfPressureData, samples, [](const auto& o) { return o.CentresOfPressure.size(); }},
      {VoltageData, samples, [](const auto& o) { return o.Voltages.size(); }},
      {BlockData, pair, [](const auto& o) { return o.BlockDatas.size(); }},
      {ShortRecordData, pair, [](const auto& o) { return o.ShortRecordDatas.size(); }},
      {ChunkData, pair, [](const auto& o) { return o.ChunkDatas.size(); }},
      {GlobalSegmentPoses, VWireBuffer().Int32(1).Int32(0).Bytes(),
       [](const auto& o) { return o.GlobalSegmentPoses.size(); }},
  };
  for (const Route& route : routes) {
    VDynamicObjects objects;
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, route.Payload));
    ASSERT_TRUE(DecodeDynamicObject(route.Type, reader, objects)) << route.Type;
    reader.SetPosition(0);
    ASSERT_TRUE(DecodeDynamicObject(route.Type, reader, objects)) << route.Type;
    EXPECT_EQ(route.Size(objects), 2u) << route.Type;  // appends
    const std::size_t total = objects.Forces.size() + objects.Moments.size() +
                              objects.CentresOfPressure.size() + objects.Voltages.size() +
                              objects.BlockDatas.size() + objects.ShortRecordDatas.size() +
                              objects.ChunkDatas.size() + objects.GlobalSegmentPoses.size() +
                              objects.MarkerPositions.size() + objects.MarkerRecords.size() +
                              objects.VideoFrames.size() + objects.OtherSegmentPoses.size();
    EXPECT_EQ(total, 2u) << "type " << route.Type << " also touched another list";
  }
}

TEST(DynamicDecoders, FrameNumberOverwritesAndOtherTypesAreRefused) {
  VDynamicObjects objects;
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(-12345).Int32(8).Bytes()));
  ASSERT_TRUE(DecodeDynamicObject(FrameNumber, reader, objects));
  EXPECT_EQ(objects.FrameNumber, -12345);
  ASSERT_TRUE(DecodeDynamicObject(FrameNumber, reader, objects));
  EXPECT_EQ(objects.FrameNumber, 8);
  for (int32_t type : {0, 1, 2, 8, 14, 15, 21, 23, 100001, 100004, -5}) {
    reader.SetPosition(0);
    EXPECT_FALSE(DecodeDynamicObject(type, reader, objects)) << type;
  }
  EXPECT_EQ(objects.FrameNumber, 8);
  EXPECT_TRUE(objects.OtherSegmentPoses.empty());
}

// --- Packet summary and type lists ----------------------------------------------

TEST(PacketSummaryDecoder, DuplicatesCollapseAndPairsAreKept) {
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(
      reader, VWireBuffer().Int32(2).Int32(1).Int32(-2).Int32(3).Int32(4).Int32(4).Int32(9).Int32(2).Int32(9).Int32(-7).Bytes()));
  VPacketSummary summary;
  ASSERT_TRUE(DecodePacketSummary(reader, summary));
  ASSERT_EQ(summary.Pairs.size(), 2u);
  EXPECT_EQ(summary.Pairs[0].First, 1);
  EXPECT_EQ(summary.Pairs[0].Second, -2);
  EXPECT_EQ(summary.Pairs[1].First, 3);
  EXPECT_EQ(summary.Pairs[1].Second, 4);
  EXPECT_EQ(summary.CarriedTypes, (std::set<int32_t>{-7, 2, 9}));
}

TEST(PacketSummaryDecoder, EachDecodeStartsFromEmpty) {
  VPacketSummary summary;
  summary.Pairs.push_back({5, 5});
  summary.CarriedTypes = {1, 2, 3};
  VMemoryReader reader;
  ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(0).Int32(1).Int32(6).Bytes()));
  ASSERT_TRUE(DecodePacketSummary(reader, summary));
  EXPECT_TRUE(summary.Pairs.empty());
  EXPECT_EQ(summary.CarriedTypes, (std::set<int32_t>{6}));
}

TEST(PacketSummaryDecoder, HostileCountsFail) {
  for (int32_t count : {MaxCount, -1}) {
    VMemoryReader pairs;
    ASSERT_TRUE(LoadPayload(pairs, VWireBuffer().Int32(count).Raw(std::vector<uint8_t>(16, 0)).Bytes()));
    VPacketSummary summary;
    EXPECT_FALSE(DecodePacketSummary(pairs, summary)) << count;
    EXPECT_EQ(summary.Pairs.capacity(), 0u);

    VMemoryReader types;
    ASSERT_TRUE(LoadPayload(types, VWireBuffer().Int32(0).Int32(count).Int32(1).Int32(2).Bytes()));
    EXPECT_FALSE(DecodePacketSummary(types, summary)) << count;
  }
}

TEST(ObjectTypeListDecoder, CountZeroEmptiesAndDuplicatesCollapse) {
  std::set<int32_t> types = {100, 200};
  VMemoryReader empty;
  ASSERT_TRUE(LoadPayload(empty, VWireBuffer().Int32(0).Bytes()));
  ASSERT_TRUE(DecodeObjectTypeList(empty, types));
  EXPECT_TRUE(types.empty());

  VMemoryReader list;
  ASSERT_TRUE(LoadPayload(list, VWireBuffer().Int32(4).Int32(22).Int32(-1).Int32(22).Int32(5).Bytes()));
  ASSERT_TRUE(DecodeObjectTypeList(list, types));
  EXPECT_EQ(types, (std::set<int32_t>{-1, 5, 22}));
}

TEST(ObjectTypeListDecoder, HostileCountsFail) {
  for (int32_t count : {MaxCount, -1, 3}) {
    VMemoryReader reader;
    ASSERT_TRUE(LoadPayload(reader, VWireBuffer().Int32(count).Int32(1).Int32(2).Bytes()));
    std::set<int32_t> types;
    EXPECT_FALSE(DecodeObjectTypeList(reader, types)) << count;
  }
}

}  // namespace

namespace {

// A pose group payload: subject, then `count` poses whose translation x is
// base + index.
std::vector<uint8_t> PoseGroupPayload(int32_t subject, int32_t count, double base) {
  VWireBuffer bytes;
  bytes.Int32(subject).Int32(count);
  for (int32_t i = 0; i < count; ++i) {
    bytes.Int32(i + 1).Raw(std::vector<uint8_t>(4, 0)).Double(base + i).Double(0).Double(0);
    for (int k = 0; k < 9; ++k) bytes.Double(0);
  }
  return bytes.Bytes();
}

// A device output payload with `count` samples base, base + 1, ...
std::vector<uint8_t> SamplesPayload(int32_t device, int32_t count, float base) {
  VWireBuffer bytes;
  bytes.Int32(0).Int32(device).Int32(1).Int32(count);
  for (int32_t i = 0; i < count; ++i) bytes.Float(base + static_cast<float>(i));
  return bytes.Bytes();
}

bool Decode(int32_t type, const std::vector<uint8_t>& payload, VDynamicObjects& objects,
            VSpareLists* spare) {
  VMemoryReader reader;
  return LoadPayload(reader, payload) && DecodeDynamicObject(type, reader, objects, spare);
}

}  // namespace

TEST(DynamicReuse, EmptiedContainerIsLikeANewOneAndItsListsAreRefilledInPlace) {
  VDynamicObjects objects;
  VSpareLists spare;
  spare.Poses.resize(5);  // whatever a previous use left: replaced, not added to
  objects.FrameNumber = 12;
  ASSERT_TRUE(Decode(GlobalSegmentPoses, PoseGroupPayload(1, 3, 10.0), objects, nullptr));
  ASSERT_TRUE(Decode(GlobalSegmentPoses, PoseGroupPayload(2, 3, 20.0), objects, nullptr));
  ASSERT_TRUE(Decode(ForceData, SamplesPayload(7, 30, 1.0f), objects, nullptr));
  ASSERT_TRUE(Decode(VoltageData, SamplesPayload(7, 160, 0.0f), objects, nullptr));
  objects.MarkerPositions.resize(40);
  objects.BlockDatas.emplace_back();
  objects.ChunkDatas.emplace_back();
  objects.ShortRecordDatas.emplace_back();
  auto video = std::make_shared<VVideoFrame>();
  objects.VideoFrames.push_back(video);
  const VSegmentPose* firstGroup = objects.GlobalSegmentPoses[0].Poses.data();
  const VSegmentPose* secondGroup = objects.GlobalSegmentPoses[1].Poses.data();

  EmptyForReuse(objects, spare);
  EXPECT_EQ(objects.FrameNumber, -1);
  EXPECT_TRUE(objects.MarkerPositions.empty());
  EXPECT_GE(objects.MarkerPositions.capacity(), 40u);
  EXPECT_TRUE(objects.MarkerRecords.empty());
  EXPECT_TRUE(objects.GlobalSegmentPoses.empty());
  EXPECT_TRUE(objects.OtherSegmentPoses.empty());
  EXPECT_TRUE(objects.Forces.empty());
  EXPECT_TRUE(objects.Moments.empty());
  EXPECT_TRUE(objects.CentresOfPressure.empty());
  EXPECT_TRUE(objects.Voltages.empty());
  EXPECT_TRUE(objects.BlockDatas.empty());
  EXPECT_TRUE(objects.ChunkDatas.empty());
  EXPECT_TRUE(objects.ShortRecordDatas.empty());
  EXPECT_TRUE(objects.VideoFrames.empty());
  EXPECT_EQ(video.use_count(), 1);  // the container let its video frame go
  EXPECT_EQ(spare.Poses.size(), 2u);
  EXPECT_EQ(spare.Samples.size(), 2u);

  // Refilled with a different shape: values exactly as decoded, the lists
  // given up earlier reused (last given up, first taken).
  ASSERT_TRUE(Decode(GlobalSegmentPoses, PoseGroupPayload(5, 2, 50.0), objects, &spare));
  ASSERT_TRUE(Decode(GlobalSegmentPoses, PoseGroupPayload(6, 3, 60.0), objects, &spare));
  ASSERT_TRUE(Decode(GlobalSegmentPoses, PoseGroupPayload(7, 1, 70.0), objects, &spare));
  ASSERT_TRUE(Decode(MomentData, SamplesPayload(8, 3, 5.0f), objects, &spare));
  ASSERT_EQ(objects.GlobalSegmentPoses.size(), 3u);
  EXPECT_EQ(objects.GlobalSegmentPoses[0].Poses.data(), secondGroup);
  EXPECT_EQ(objects.GlobalSegmentPoses[1].Poses.data(), firstGroup);
  const int32_t subjects[] = {5, 6, 7};
  const std::size_t counts[] = {2, 3, 1};
  for (std::size_t g = 0; g < 3; ++g) {
    const VSegmentPoses& group = objects.GlobalSegmentPoses[g];
    EXPECT_EQ(group.SubjectID, subjects[g]);
    ASSERT_EQ(group.Poses.size(), counts[g]);
    for (std::size_t i = 0; i < counts[g]; ++i) {
      EXPECT_EQ(group.Poses[i].Translation[0], subjects[g] * 10.0 + static_cast<double>(i));
    }
  }
  ASSERT_EQ(objects.Moments.size(), 1u);
  EXPECT_EQ(objects.Moments[0].DeviceID, 8);
  EXPECT_EQ(objects.Moments[0].Samples, (VRecordArray<float>{5.0f, 6.0f, 7.0f}));
  EXPECT_TRUE(spare.Poses.empty());
  EXPECT_EQ(spare.Samples.size(), 1u);
}
