// What a peer can make the packet reader allocate and hold, measured with
// the counting allocator: objects that overlap so that the same bytes are
// decoded over and over, the memory held per payload byte for every object
// kind, and the memory held after one large packet. This binary replaces the
// global operator new.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stream/packet_reader.h"
#include "streamio/limits.h"
#include "streamio/memory_reader_writer.h"
#include "streamio/object_types.h"
#include "tests/support/counting_allocator.h"
#include "tools/sim/wire_encoder.h"

using namespace LumoraQSSim;
using namespace LumoraQSStream;
using LumoraQSStreamIO::MaxHeldBytesPerDecodedByte;
using QSTest::LiveBytes;
using QSTest::MeasureAllocations;
using QSTest::VAllocationReport;

namespace {

// Serves one packet at a time, as a socket would. The packet's bytes are
// dropped separately, so that what stays live afterwards is what the packet
// reader and the deliveries hold.
class VPacketFeed : public LumoraQSStreamIO::VReader {
 public:
  void Next(VBytes packet) {
    Pending = std::move(packet);
    Offset = 0;
  }
  void Drop() { VBytes().swap(Pending); }
  bool Read(void* destination, std::size_t count) override {
    if (count > Pending.size() - Offset) return false;
    std::memcpy(destination, Pending.data() + Offset, count);
    Offset += count;
    return true;
  }

 private:
  VBytes Pending;
  std::size_t Offset = 0;
};

struct VRead {
  bool Accepted = false;
  VAllocationReport Report;
};

VRead ReadOne(VPacketFeed& feed, VPacketReader& packets, const VBytes& packet, VPacketDelivery& delivery) {
  feed.Next(packet);
  VRead read;
  read.Report = MeasureAllocations([&] { read.Accepted = packets.ReadPacket(feed, false, delivery); });
  feed.Drop();
  return read;
}

std::size_t PayloadOf(const VBytes& packet) { return packet.size() - 8; }

// The bytes a decoder of `type` reads from a payload of zeros: every count
// and length zero, so the object's smallest encoding.
std::size_t SmallestPayload(int32_t type) {
  LumoraQSStreamIO::VMemoryReader reader(VBytes(512, 0));
  reader.Fill(512);
  VStaticObjects staticObjects;
  VDynamicObjects dynamicObjects;
  VPacketSummary summary;
  const bool decoded = RouteOf(type) == ERoute::Static    ? DecodeStaticObject(type, reader, staticObjects)
                       : RouteOf(type) == ERoute::Dynamic ? DecodeDynamicObject(type, reader, dynamicObjects)
                                                          : DecodePacketSummary(reader, summary);
  EXPECT_TRUE(decoded) << type;
  return reader.Position();
}

// As many of `object` as `payloadBytes` holds.
VBytes PacketOf(const VBytes& object, std::size_t payloadBytes) {
  return EncodePacket(std::vector<VBytes>(payloadBytes / object.size(), object));
}

TEST(PacketMemory, OverlappingObjectsAreRefusedWithAllocationNearThePayload) {
  // Each shape about 280 000 bytes; decoded whole, each would hold or copy
  // half a gigabyte.
  std::vector<VOverlappingShape> shapes = OverlappingShapes(9000, 64 * 1024);
  // As first reported: voltage objects declaring one byte, one every 9
  // bytes, each reading the next headers as a count of 65 536 samples.
  shapes.push_back(
      {"overlapping_nine_byte_stride", EncodeOverlappingObjects(VoltageData, VBytes{0}, 1984, 65536 * 4 + 16)});
  for (const VOverlappingShape& shape : shapes) {
    SCOPED_TRACE(shape.Name);
    const VBytes packet = EncodePacket(shape.Objects);
    VPacketFeed feed;
    VPacketReader packets;
    VPacketDelivery delivery;
    const VRead read = ReadOne(feed, packets, packet, delivery);
    EXPECT_FALSE(read.Accepted);
    EXPECT_FALSE(delivery.Static || delivery.Dynamic);
    // The receive buffer, then raw samples, records or names for the
    // decoders' work up to its bound of twice the payload.
    const double payload = static_cast<double>(PayloadOf(packet));
    std::printf("%-30s payload %7.0f: allocated %.2f, at most %.2f at once per payload byte\n", shape.Name.c_str(),
                payload, read.Report.Bytes / payload, read.Report.PeakAbove / payload);
    EXPECT_LE(read.Report.Bytes, 3.5 * payload);
    EXPECT_LE(read.Report.PeakAbove, 3.5 * payload);
  }
}

// One kind's worst case, and what reading it cost.
struct VKindCase {
  std::string Name;
  VBytes Packet;
};

std::vector<VKindCase> KindCases(std::size_t payloadBytes) {
  std::vector<VKindCase> cases;
  // Every kind the packet reader decodes, as many of its smallest objects
  // as fit.
  for (int32_t type = 0; type <= VideoFrame; ++type) {
    if (RouteOf(type) != ERoute::Static && RouteOf(type) != ERoute::Dynamic) continue;
    cases.push_back(
        {ObjectTypeName(type), PacketOf(EncodeObject(type, VBytes(SmallestPayload(type), 0)), payloadBytes)});
  }
  // Lists inside one object, as many of their smallest elements as fit.
  const int32_t n = static_cast<int32_t>(payloadBytes / 40);
  auto one = [&](const char* name, int32_t type, VWireBuffer payload) {
    cases.push_back({name, EncodePacket({EncodeObject(type, payload.Take())})});
  };
  one("SubjectInfo segments", SubjectInfo,
      VWireBuffer().Int32(1).String("").Int32(n).Raw(VBytes(36 * n, 0)).Int32(0).Int32(0));
  one("SubjectInfo markers", SubjectInfo,
      VWireBuffer().Int32(1).String("").Int32(0).Int32(4 * n).Raw(VBytes(32 * n, 0)).Int32(0));
  one("SubjectInfo pairs", SubjectInfo,
      VWireBuffer().Int32(1).String("").Int32(0).Int32(0).Int32(4 * n).Raw(VBytes(32 * n, 0)));
  one("DeviceOutputInfo names", DeviceOutputInfo,
      VWireBuffer().Int32(1).Int32(2).String("").Int32(8 * n).Raw(VBytes(32 * n, 0)));
  one("ChunkData groups", ChunkData, VWireBuffer().Int32(0).Int32(0).Int32(8 * n).Raw(VBytes(32 * n, 0)));
  one("ChunkData chunks", ChunkData, VWireBuffer().Int32(0).Int32(0).Int32(1).Int32(6 * n).Raw(VBytes(36 * n, 0)));
  VWireBuffer types;
  types.Int32(0).Int32(8 * n);
  for (int32_t i = 0; i < 8 * n; ++i) types.Int32(i);
  one("PacketSummary types", PacketSummary, std::move(types));
  one("PacketSummary pairs", PacketSummary, VWireBuffer().Int32(4 * n).Raw(VBytes(32 * n, 0)).Int32(0));
  return cases;
}

TEST(PacketMemory, HeldMemoryPerPayloadByteIsBoundedForEveryKind) {
  constexpr std::size_t PayloadBytes = 256 * 1024;
  std::printf("%-26s %9s %12s %12s\n", "kind", "payload", "held/byte", "peak/byte");
  double worst = 0;
  for (const VKindCase& kind : KindCases(PayloadBytes)) {
    SCOPED_TRACE(kind.Name);
    VPacketFeed feed;
    VPacketReader packets;
    VPacketDelivery delivery;
    const std::size_t before = LiveBytes();
    const VRead read = ReadOne(feed, packets, kind.Packet, delivery);
    ASSERT_TRUE(read.Accepted);
    // Everything the reader keeps for this packet: its receive buffer, the
    // containers it delivered and the ones it keeps.
    const double payload = static_cast<double>(PayloadOf(kind.Packet));
    const double held = static_cast<double>(LiveBytes() - before) / payload;
    const double peak = static_cast<double>(read.Report.PeakAbove) / payload;
    std::printf("%-26s %9.0f %12.2f %12.2f\n", kind.Name.c_str(), payload, held, peak);
    // The decoders consumed the payload once; the buffer holds it once more.
    EXPECT_LE(held, 1 + MaxHeldBytesPerDecodedByte);
    EXPECT_LE(peak, 1 + MaxHeldBytesPerDecodedByte);
    worst = std::max(worst, peak);
  }
  std::printf("worst: %.2f bytes per payload byte\n", worst);

  // The handshake's type list likewise.
  std::vector<int32_t> numbers;
  for (int32_t i = 0; i < static_cast<int32_t>(PayloadBytes / 4); ++i) numbers.push_back(i * 7);
  const VBytes handshake = EncodePacket({EncodeObjectTypeList(numbers)});
  VPacketFeed feed;
  VPacketReader packets;
  const std::size_t before = LiveBytes();
  feed.Next(handshake);
  bool accepted = false;
  const VAllocationReport read = MeasureAllocations([&] { accepted = packets.ReadHandshake(feed); });
  feed.Drop();
  EXPECT_TRUE(accepted);
  EXPECT_LE(read.PeakAbove, 2 * PayloadOf(handshake));
  EXPECT_LE(LiveBytes() - before, 2 * PayloadOf(handshake));
}

// A frame as a server streams it: a frame number, marker positions, pose
// groups and force data.
VBytes SmallFrame(int32_t number) {
  VRecordArray<VMarkerPosition> positions(40);
  for (auto& p : positions) p = VMarkerPosition{};
  VSegmentPoses group;
  group.SubjectID = 1;
  group.Poses.resize(20);
  for (auto& pose : group.Poses) pose = VSegmentPose{};
  VDeviceOutputData force;
  force.DeviceID = 7;
  force.Samples.assign(30, 1.0f);
  return EncodePacket({EncodeFrameNumber(number), EncodeMarkerPositions(positions), EncodeGlobalSegmentPoses(group),
                       EncodeGlobalSegmentPoses(group), EncodeForceData(force), EncodeForceData(force)});
}

TEST(PacketMemory, HeldMemoryReturnsToTheStreamsSizeAfterOneLargePacket) {
  // One packet of about 4 MiB: the smallest objects of every dynamic kind,
  // as many as fit, so that every list a container keeps grows large.
  std::vector<VBytes> large;
  for (int32_t type = 0; type <= VideoFrame; ++type) {
    if (RouteOf(type) != ERoute::Dynamic) continue;
    const VBytes object = EncodeObject(type, VBytes(SmallestPayload(type), 0));
    for (std::size_t n = 0; n < (384 * 1024) / object.size(); ++n) large.push_back(object);
  }
  const VBytes largePacket = EncodePacket(large);
  VPacketFeed feed;
  VPacketReader packets;
  VPacketDelivery held;  // the host holds the newest frame, as the frame queue does
  int32_t number = 0;
  auto stream = [&](int frames) {
    for (int i = 0; i < frames; ++i) ASSERT_TRUE(ReadOne(feed, packets, SmallFrame(++number), held).Accepted);
  };
  stream(20);
  const std::size_t baseline = LiveBytes();
  ASSERT_TRUE(ReadOne(feed, packets, largePacket, held).Accepted);
  EXPECT_GT(LiveBytes(), baseline + 2 * PayloadOf(largePacket));
  stream(20);
  EXPECT_LE(LiveBytes(), baseline + 16 * 1024) << "baseline " << baseline;
}

}  // namespace
