// What a peer can make the packet reader allocate and hold, measured with
// the counting allocator: objects that overlap so that the same bytes are
// decoded over and over, the memory held per payload byte for every object
// kind, and the memory held after one large packet. This binary replaces the
// global operator new.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serve/wire_encoder.h"
#include "stream/packet_reader.h"
#include "streamio/limits.h"
#include "testing/memory_reader_writer.h"
#include "tests/support/counting_allocator.h"

using namespace LumoraQSServe;
using namespace LumoraQSStream;
using QSTesting::LiveBytes;

namespace {

// Serves one packet, as a socket would, and drops its bytes once read, so
// that what stays live is what the packet reader and the deliveries hold.
// Returns whether the packet was accepted; `report` tells what reading it
// allocated.
class VPacketFeed : public LumoraQSStreamIO::VReader {
 public:
  bool Read(void* destination, std::size_t count) override {
    if (count > Pending.size() - Offset) return false;
    std::memcpy(destination, Pending.data() + Offset, count);
    Offset += count;
    return true;
  }
  bool ReadOne(VPacketReader& packets, const VBytes& packet, VPacketDelivery& delivery,
               QSTesting::VAllocationReport* report = nullptr) {
    Pending = packet;
    Offset = 0;
    bool accepted = false;
    const auto counted = QSTesting::MeasureAllocations([&] { accepted = static_cast<bool>(packets.ReadPacket(*this, false, delivery)); });
    if (report) *report = counted;
    VBytes().swap(Pending);
    return accepted;
  }

 private:
  VBytes Pending;
  std::size_t Offset = 0;
};

double PayloadOf(const VBytes& packet) { return static_cast<double>(packet.size() - 8); }

// An object of `type` with a payload of zeros as short as its decoder
// takes: every count and length zero.
VBytes SmallestObject(int32_t type) {
  QSTesting::VMemoryReader reader(VBytes(512, 0));
  reader.Fill(512);
  VStaticObjects staticObjects;
  VDynamicObjects dynamicObjects;
  EXPECT_TRUE(RouteOf(type) == ERoute::Static ? DecodeStaticObject(type, reader, staticObjects)
                                              : DecodeDynamicObject(type, reader, dynamicObjects));
  return EncodeObject(type, VBytes(reader.Position(), 0));
}

TEST(PacketMemory, OverlappingObjectsAreRefusedWithAllocationNearThePayload) {
  // About 280 000 bytes each; decoded whole, each would hold (or, replacing
  // one list, copy) half a gigabyte.
  std::vector<VOverlappingShape> shapes = OverlappingShapes(9000, 64 * 1024);
  // As first reported: voltage objects declaring one byte, one every 9
  // bytes, each reading the next headers as a count of 65 536 samples.
  shapes.push_back({"nine_byte_stride", EncodeOverlappingObjects(VoltageData, VBytes{0}, 1984, 65536 * 4 + 16)});
  for (const VOverlappingShape& shape : shapes) {
    SCOPED_TRACE(shape.Name);
    const VBytes packet = EncodePacket(shape.Objects);
    VPacketFeed feed;
    VPacketReader packets;
    VPacketDelivery delivery;
    QSTesting::VAllocationReport report;
    EXPECT_FALSE(feed.ReadOne(packets, packet, delivery, &report));
    EXPECT_FALSE(delivery.Static || delivery.Dynamic);
    // The receive buffer, then samples, records or names for the decoding
    // work up to its bound of twice the payload.
    std::printf("%-24s allocated %.2f bytes per payload byte\n", shape.Name.c_str(), report.Bytes / PayloadOf(packet));
    EXPECT_LE(report.Bytes, 3.5 * PayloadOf(packet));
  }
}

TEST(PacketMemory, HeldMemoryPerPayloadByteIsBoundedForEveryKind) {
  // For every kind the reader decodes, as many of its smallest objects as
  // fit in 256 KiB; then lists inside one object, of their smallest
  // elements.
  constexpr int32_t N = 6000;
  std::vector<std::pair<std::string, VBytes>> kinds;
  for (int32_t type = 0; type <= VideoFrame; ++type) {
    if (RouteOf(type) != ERoute::Static && RouteOf(type) != ERoute::Dynamic) continue;
    const VBytes object = SmallestObject(type);
    kinds.emplace_back(ObjectTypeName(type), EncodePacket(std::vector<VBytes>((256 * 1024) / object.size(), object)));
  }
  auto one = [&](const char* name, int32_t type, VWireBuffer payload) {
    kinds.emplace_back(name, EncodePacket({EncodeObject(type, payload.Take())}));
  };
  const VBytes zeros(40 * N, 0);
  one("segments", SubjectInfo, VWireBuffer().Int32(1).String("").Int32(N).Raw(zeros).Int32(0).Int32(0));
  one("markers", SubjectInfo, VWireBuffer().Int32(1).String("").Int32(0).Int32(5 * N).Raw(zeros).Int32(0));
  one("component names", DeviceOutputInfo, VWireBuffer().Int32(1).Int32(2).String("").Int32(10 * N).Raw(zeros));
  one("chunk groups", ChunkData, VWireBuffer().Int32(0).Int32(0).Int32(10 * N).Raw(zeros));
  VWireBuffer types = VWireBuffer().Int32(0).Int32(10 * N);
  for (int32_t i = 0; i < 10 * N; ++i) types.Int32(i);
  one("summary types", PacketSummary, std::move(types));

  for (const auto& [name, packet] : kinds) {
    VPacketFeed feed;
    VPacketReader packets;
    VPacketDelivery delivery;
    const std::size_t before = LiveBytes();
    QSTesting::VAllocationReport report;
    ASSERT_TRUE(feed.ReadOne(packets, packet, delivery, &report)) << name;
    // The decoders consumed the payload once; the buffer holds it once more.
    const double held = (LiveBytes() - before) / PayloadOf(packet);
    const double peak = report.PeakAbove / PayloadOf(packet);
    std::printf("%-22s held %5.2f, at most %5.2f bytes per payload byte\n", name.c_str(), held, peak);
    EXPECT_LE(held, 1 + LumoraQSStreamIO::MaxHeldBytesPerDecodedByte) << name;
    EXPECT_LE(peak, 1 + LumoraQSStreamIO::MaxHeldBytesPerDecodedByte) << name;
  }

  // The handshake keeps its type list's numbers of the catalogue only.
  std::vector<int32_t> numbers(10 * N);
  for (int32_t i = 0; i < 10 * N; ++i) numbers[i] = i;
  QSTesting::VMemoryReader handshake(EncodePacket({EncodeObjectTypeList(numbers)}));
  VPacketReader packets;
  const std::size_t before = LiveBytes();
  ASSERT_TRUE(packets.ReadHandshake(handshake));
  EXPECT_EQ(packets.OfferedTypes().size(), 22u);
  EXPECT_LE(LiveBytes() - before, 4 * 10 * N + 8 + 2048);  // the receive buffer and 22 numbers
}

TEST(PacketMemory, HeldMemoryReturnsToTheStreamsSizeAfterLargePackets) {
  // A frame as a server streams it, then packets of about 4 MiB: the
  // smallest objects of every dynamic kind, as many as fit, so that every
  // list a container keeps, outer and inner, grows large.
  VRecordArray<VMarkerPosition> positions(40, VMarkerPosition{});
  VSegmentPoses group;
  group.Poses.assign(20, VSegmentPose{});
  VDeviceOutputData force;
  force.Samples.assign(30, 1.0f);
  const VBytes frame = EncodePacket({EncodeFrameNumber(1), EncodeMarkerPositions(positions),
                                     EncodeGlobalSegmentPoses(group), EncodeForceData(force), EncodeForceData(force)});
  std::vector<VBytes> large;
  for (int32_t type = 0; type <= VideoFrame; ++type) {
    if (RouteOf(type) != ERoute::Dynamic) continue;
    const VBytes object = SmallestObject(type);
    large.insert(large.end(), (384 * 1024) / object.size(), object);
  }
  const VBytes largePacket = EncodePacket(large);

  // Also with each frame's decode rehearsed before the next packet, as an
  // idle receiving thread does.
  for (const bool rehearse : {false, true}) {
    VPacketFeed feed;
    VPacketReader packets;
    VPacketDelivery held;  // the host holds the newest frame, as the frame queue does
    auto readOne = [&](const VBytes& packet) {
      packets.PrepareNext();
      if (rehearse) packets.Rehearse(feed);
      return feed.ReadOne(packets, packet, held);
    };
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(readOne(frame));
    const std::size_t baseline = LiveBytes();
    // Three of them: the third refills the first's container, whose inner
    // lists pass to the spare lists.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(readOne(largePacket));
    EXPECT_GT(LiveBytes(), baseline + 2 * PayloadOf(largePacket));
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(readOne(frame));
    EXPECT_LE(LiveBytes(), baseline + 16 * 1024) << "baseline " << baseline << ", rehearsed " << rehearse;
  }
}

}  // namespace
