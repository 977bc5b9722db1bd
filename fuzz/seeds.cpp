#include "fuzz/seeds.h"

#include "fuzz/harness.h"
#include "serve/wire_encoder.h"
#include "streamio/object_types.h"
#include "tools/recording/recording.h"

using namespace LumoraQSStream;
using namespace LumoraQSServe;

namespace QSFuzz {

namespace {

VSubjectInfo MakeSubject(int32_t id, const std::string& name, int segments, int markers) {
  VSubjectInfo subject;
  subject.SubjectID = id;
  subject.Name = name;
  for (int i = 0; i < segments; ++i) {
    VSegmentInfo segment;
    segment.Value0 = i;
    segment.SegmentID = 100 + i;
    for (std::size_t w = 0; w < segment.Values.size(); ++w) segment.Values[w] = static_cast<uint32_t>(w * 3 + i);
    segment.Name = name + "_seg" + std::to_string(i);
    subject.Segments.push_back(segment);
  }
  for (int i = 0; i < markers; ++i) subject.Markers.push_back({200 + i, name + "_m" + std::to_string(i)});
  subject.Pairs.push_back({1, 2});
  subject.Pairs.push_back({3, 0xffffffffu});
  return subject;
}

VDeviceOutputData MakeSamples(int32_t device, int32_t output, std::size_t count, float base) {
  VDeviceOutputData data;
  data.Value0 = 5;
  data.DeviceID = device;
  data.OutputID = output;
  for (std::size_t i = 0; i < count; ++i) data.Samples.push_back(base + static_cast<float>(i) * 0.5f);
  return data;
}

VVideoFrame MakeFrame(uint16_t w, uint16_t h, int32_t format, std::size_t dataSize) {
  VVideoFrame frame;
  frame.Value0 = 1;
  frame.Value1 = 2;
  frame.Value2 = 3;
  frame.Value3 = 4;
  frame.Width = w;
  frame.Height = h;
  frame.Format = format;
  for (std::size_t i = 0; i < dataSize; ++i) frame.Data.push_back(static_cast<uint8_t>(i * 37 + 11));
  return frame;
}

std::vector<VBytes> SceneObjects() {
  VDeviceInfo plate{7, 1234567890123ll, "Plate1"};
  VDeviceInfo analog{8, -1, "Analog"};
  VDeviceOutputInfo force{7, 1, "Force", {"Fx", "Fy", "Fz"}};
  VDeviceOutputInfo moment{7, 2, "Moment", {"Mx", "My", "Mz"}};
  VDeviceOutputInfo volts{8, 3, "Volts", {"V1", "V2"}};
  VNamedVectorInfo vector{4, 9, "Gravity", {0.0, 0.0, -9.81}};
  VNamedParameterInfo parameter;
  parameter.ID = 2;
  parameter.Name = "Camera";
  for (std::size_t i = 0; i < parameter.Parameters.size(); ++i) parameter.Parameters[i] = 0.25 * static_cast<double>(i);
  VWordBlockInfo words;
  words.Value0 = 6;
  for (std::size_t i = 0; i < words.Words.size(); ++i) words.Words[i] = static_cast<uint32_t>(i * i);
  return {EncodeStreamInfo(42),
          EncodeSubjectInfo(MakeSubject(1, "Alice", 3, 4)),
          EncodeSubjectInfo(MakeSubject(2, "Bob", 1, 0)),
          EncodeDeviceInfo(plate),
          EncodeDeviceInfo(analog),
          EncodeDeviceOutputInfo(force),
          EncodeDeviceOutputInfo(moment),
          EncodeDeviceOutputInfo(volts),
          EncodeNamedVectorInfo(vector),
          EncodeNamedParameterInfo(parameter),
          EncodeWordBlockInfo(words)};
}

std::vector<VBytes> FrameObjects(int32_t frameNumber, bool withVideo) {
  VRecordArray<VMarkerPosition> positions(3);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    positions[i] = VMarkerPosition{};
    positions[i].SubjectID = 1;
    positions[i].MarkerID = 200 + static_cast<int32_t>(i);
    positions[i].Position = {1.0 * static_cast<double>(i), 2.0, 3.0};
  }
  VRecordArray<VMarkerRecord> records(2);
  for (auto& record : records) record.Bytes.fill(0x5a);
  VSegmentPoses poses;
  poses.SubjectID = 1;
  for (int i = 0; i < 3; ++i) {
    VSegmentPose pose{};
    pose.SegmentID = 100 + i;
    pose.Translation = {10.0, 20.0 + i, 30.0};
    pose.Rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    poses.Poses.push_back(pose);
  }
  VBlockData block;
  block.Value0 = 1;
  block.Value1 = 2;
  block.Blocks.resize(2);
  for (auto& b : block.Blocks) b.Bytes.fill(0x33);
  VChunkData chunks;
  chunks.Value0 = 3;
  chunks.Value1 = 4;
  chunks.Groups.resize(2);
  chunks.Groups[0].push_back(VChunk{{1, 2, 3}, 7, 8});
  chunks.Groups[0].push_back(VChunk{{}, 9, 10});
  chunks.Groups[1].push_back(VChunk{{0xff}, 11, 12});
  VShortRecordData shorts;
  shorts.Value0 = 5;
  shorts.Value1 = 6;
  shorts.Records.resize(3);
  for (auto& r : shorts.Records) r.Bytes.fill(0x21);

  std::vector<VBytes> objects = {EncodeFrameNumber(frameNumber),
                                 EncodeMarkerPositions(positions),
                                 EncodeMarkerRecords(records),
                                 EncodeGlobalSegmentPoses(poses),
                                 EncodeGlobalSegmentPoses(poses, OtherSegmentPoses),
                                 EncodeForceData(MakeSamples(7, 1, 6, 1.0f)),
                                 EncodeMomentData(MakeSamples(7, 2, 3, -2.0f)),
                                 EncodeCentreOfPressureData(MakeSamples(7, 1, 3, 0.5f)),
                                 EncodeVoltageData(MakeSamples(8, 3, 10, 0.125f)),
                                 EncodeBlockData(block),
                                 EncodeChunkData(chunks),
                                 EncodeShortRecordData(shorts)};
  if (withVideo) {
    objects.push_back(EncodeVideoFrame(MakeFrame(8, 6, 3, 48)));
    objects.push_back(EncodeVideoFrame(MakeFrame(5, 3, 5, 15)));
    objects.push_back(EncodeVideoFrame(MakeFrame(4, 4, 2, 16)));
    objects.push_back(EncodeVideoFrame(MakeFrame(2, 2, 7, 12)));
  }
  return objects;
}

VSeed StreamSeed(const std::string& name, uint8_t flags, const std::vector<VBytes>& packets) {
  VSeed seed{name, {flags}, 0};
  for (const VBytes& packet : packets) {
    seed.Bytes.insert(seed.Bytes.end(), packet.begin(), packet.end());
    ++seed.Expected;
  }
  return seed;
}

}  // namespace

std::vector<VSeed> PacketReaderSeeds() {
  std::vector<VSeed> seeds;
  const VBytes scene = EncodePacket(SceneObjects());
  const VBytes frame1 = EncodePacket(FrameObjects(1, false));
  std::vector<VBytes> both = SceneObjects();
  for (VBytes& o : FrameObjects(2, true)) both.push_back(std::move(o));
  const VBytes sceneAndFrame = EncodePacket(both);
  // The next packet sends only a few types again and carries the rest over.
  const VBytes carried = EncodePacket({EncodePacketSummary({{1, 2}, {3, 4}}, {1, 2, 3, 4, 5, 6, 9, 17, 22, 10, 2}),
                                       EncodeStreamInfo(43), EncodeFrameNumber(3),
                                       EncodeForceData(MakeSamples(7, 1, 3, 9.0f))});
  const VBytes skipped = EncodePacket({EncodeObject(OtherSegmentPoses, {}), EncodeObject(Reserved15, {1, 2, 3}),
                                       EncodeObject(Reserved21, {}), EncodeObject(999, {0, 0, 0, 0}),
                                       EncodeObject(-5, {}), EncodeStreamMode(0), EncodeFrameNumber(4)});
  const VBytes empty = EncodePacket({});

  seeds.push_back(StreamSeed("scene_then_frames", 2, {scene, frame1, sceneAndFrame, carried, skipped, empty}));
  seeds.push_back(StreamSeed("scene_then_frames_converted", 3, {sceneAndFrame, carried, sceneAndFrame}));
  // The handshake in the stream itself, with objects before the type list.
  VSeed own = StreamSeed("own_handshake", 0, {frame1, carried});
  const VBytes handshake = EncodePacket({EncodeStreamInfo(1), EncodeObjectTypeList(std::set<int32_t>{1, 2, 5, 22})});
  own.Bytes.insert(own.Bytes.begin() + 1, handshake.begin(), handshake.end());
  seeds.push_back(own);
  seeds.push_back(StreamSeed("carry_in_first_packet", 2, {carried, sceneAndFrame, carried}));
  return seeds;
}

std::vector<VSeed> HostilePacketReaderSeeds() {
  std::vector<VSeed> seeds;
  // 450 objects each reading 4 KiB past its end: 1.8 MB decoded from 15 KB.
  for (const VOverlappingShape& shape : OverlappingShapes(450, 4096)) {
    seeds.push_back(StreamSeed(shape.Name, 2, {EncodePacket(shape.Objects)}));
    seeds.back().Expected = 0;
  }
  return seeds;
}

std::vector<VSeed> VideoConversionSeeds() {
  std::vector<VSeed> seeds;
  struct Shape {
    uint16_t W, H;
    uint8_t Selector;  // see RunVideoConversion
    std::size_t Data;
    bool Converts;
  };
  const Shape shapes[] = {
      {4, 2, 0x01, 8, true},    {4, 2, 0x00, 8, true},   {4, 2, 0x02, 8, true},   {8, 6, 0x01, 48, true},
      {5, 3, 0x02, 15, true},   {7, 4, 0x00, 28, true},  {1, 3, 0x01, 3, true},   {3, 1, 0x00, 3, true},
      {0, 4, 0x02, 0, true},    {6, 4, 0x81, 20, false}, {6, 4, 0x83, 24, false}, {4, 4, 0x84, 16, false},
      {16, 16, 0x01, 300, true}};
  for (const Shape& s : shapes) {
    VSeed seed;
    seed.Name = "video_" + std::to_string(s.W) + "x" + std::to_string(s.H) + "_" + std::to_string(s.Selector) +
                "_" + std::to_string(s.Data);
    VWireBuffer out;
    out.UInt16(s.W).UInt16(s.H).Byte(s.Selector);
    for (std::size_t i = 0; i < s.Data; ++i) out.Byte(static_cast<uint8_t>(i * 29 + 3));
    seed.Bytes = out.Take();
    seed.Expected = s.Converts ? 1 : 0;
    seeds.push_back(seed);
  }
  return seeds;
}

std::vector<VSeed> DecoderSeeds() {
  std::vector<VSeed> seeds;
  std::vector<VBytes> objects = SceneObjects();
  for (VBytes& o : FrameObjects(9, true)) objects.push_back(std::move(o));
  objects.push_back(EncodePacketSummary({{5, 6}}, {2, 9, 9, -1}));
  objects.push_back(EncodeObjectTypeList(std::vector<int32_t>{5, 1, 1, 100001}));
  std::size_t n = 0;
  for (const VBytes& object : objects) {
    const int32_t type = static_cast<int32_t>(object[0] | (object[1] << 8) | (object[2] << 16) | (object[3] << 24));
    const int selector = DecoderSelectorForType(type);
    if (selector < 0) continue;  // type 8 shares the pose layout but is never decoded
    VSeed seed;
    seed.Name = std::string("decoder_") + ObjectTypeName(type) + "_" + std::to_string(n++);
    seed.Bytes.push_back(static_cast<uint8_t>(selector));
    seed.Bytes.insert(seed.Bytes.end(), object.begin() + 8, object.end());
    seed.Expected = 1;
    seeds.push_back(seed);
  }
  return seeds;
}

std::vector<VSeed> RecordingSeeds() {
  QSRecording::VHeader header;
  header.StartUnixNs = 1767225600000000000LL;
  header.Host = "127.0.0.1";
  header.RequestedTypes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  VWireBuffer file;
  file.Raw(QSRecording::EncodeHeader(header));
  std::vector<VBytes> both = SceneObjects();
  for (VBytes& o : FrameObjects(2, true)) both.push_back(std::move(o));
  const VBytes packets[] = {EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 2, 3, 4, 5, 6, 9, 10, 22})}),
                            EncodePacket(SceneObjects()), EncodePacket(FrameObjects(1, false)), EncodePacket(both),
                            EncodePacket({})};
  int64_t receiveNs = 0;
  for (const VBytes& packet : packets) {
    file.Int64(receiveNs).UInt32(static_cast<uint32_t>(packet.size())).Raw(packet);
    receiveNs += 10000000;
  }
  VSeed whole{"recording", file.Take(), std::size(packets)};
  VSeed cut{"recording_cut", VBytes(whole.Bytes.begin(), whole.Bytes.end() - 3), std::size(packets) - 1};
  return {whole, cut};
}

}  // namespace QSFuzz
