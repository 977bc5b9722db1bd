// The stream client against hostile peers over loopback (ephemeral ports):
// exactly what is delivered from each malformed packet (nothing), how the
// connection ends (once), and video frames whose size disagrees with their
// data with conversion on.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostile/hostile_packets.h"
#include "testing/hostile_peer.h"
#include "hostile/stream_events.h"
#include "stream/stream_client.h"
#include "streamio/object_types.h"
#include "testing/capture_server.h"

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace QSTesting;
using namespace LumoraQSStream;

namespace QSHostile {

using QSTesting::VHostilePeer;
using QSTesting::VPeerConnection;
namespace {

VCaptureServerOptions ServerOptions() {
  VCaptureServerOptions options;
  options.Behaviour = EServeBehaviour::AnswerEachRequest;
  options.ScriptWait = 10000ms;
  options.MaxConnectionTime = 30000ms;
  return options;
}

// ---- Malformed data packets -------------------------------------------------------

class RejectedPacket : public ::testing::TestWithParam<VHostileCase> {};

TEST_P(RejectedPacket, EndsTheConnectionOnceAndDeliversNothingOfIt) {
  VCaptureServer server(ServerOptions());
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push(ScenePacket(100));
  server.Push(GetParam().Bytes);

  VClientUnderTest test;
  test.Connect(server.Port());
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Disconnected, 1)) << "the connection did not end";
  EXPECT_EQ(test.Client->EndReason(), GetParam().Reason);

  // The good packet, then nothing: no container of the malformed packet.
  EXPECT_EQ(test.Recorder->FrameNumbers(), std::vector<int32_t>{100});
  EXPECT_EQ(test.Recorder->Count(VRecorder::Static), 1u);
  // The socket stays open until the stream client goes.
  test.Client.reset();
  EXPECT_EQ(test.Recorder->Count(VRecorder::Disconnected), 1u) << "a connection reports its end once";
  ASSERT_TRUE(server.WaitForClosedConnections(1, 10s));
  // One request before each packet, none after the malformed one.
  EXPECT_EQ(server.RequestCount(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Hostile, RejectedPacket, ::testing::ValuesIn(RejectedDataPackets()),
                         [](const auto& info) { return info.param.Name; });

class RejectedHandshake : public ::testing::TestWithParam<VHostileCase> {};

TEST_P(RejectedHandshake, EndsTheConnectionBeforeAnyRequest) {
  VCaptureServerOptions options = ServerOptions();
  options.HandshakeBytes = GetParam().Bytes;
  VCaptureServer server(options);
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push(ScenePacket(100));

  VClientUnderTest test;
  test.Connect(server.Port());
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Disconnected, 1));
  EXPECT_EQ(test.Client->EndReason(), GetParam().Reason);
  test.Client.reset();
  ASSERT_TRUE(server.WaitForClosedConnections(1, 10s));
  EXPECT_EQ(server.RequestCount(), 0u);
  EXPECT_EQ(test.Recorder->Events(),
            (std::vector<VRecorder::EEvent>{VRecorder::Connected, VRecorder::Disconnected}));
}

INSTANTIATE_TEST_SUITE_P(Hostile, RejectedHandshake, ::testing::ValuesIn(RejectedHandshakes()),
                         [](const auto& info) { return info.param.Name; });

class ToleratedPacket : public ::testing::TestWithParam<VToleratedCase> {};

TEST_P(ToleratedPacket, DeliversWhatItsObjectsDecodeToAndTheConnectionGoesOn) {
  VCaptureServer server(ServerOptions());
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push(ScenePacket(100));
  server.Push(GetParam().Bytes);
  server.Push(FramePacket(101));

  VClientUnderTest test;
  test.Connect(server.Port());
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Dynamic, 3));
  EXPECT_EQ(test.Recorder->FrameNumbers(), (std::vector<int32_t>{100, GetParam().FrameNumber, 101}));
  EXPECT_EQ(test.Recorder->Count(VRecorder::Disconnected), 0u);
  test.Client.reset();
  EXPECT_EQ(test.Recorder->Count(VRecorder::Disconnected), 1u);
}

INSTANTIATE_TEST_SUITE_P(Hostile, ToleratedPacket, ::testing::ValuesIn(ToleratedDataPackets()),
                         [](const auto& info) { return info.param.Name; });

// ---- Connections cut in the middle of a packet -----------------------------------

void ExpectCutDeliversNothing(bool reset) {
  VHostilePeer peer("127.0.0.1", 0);
  ASSERT_TRUE(peer.Listen()) << peer.Error();
  const VBytes good = ScenePacket(100);
  const VBytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  peer.Serve([&](VPeerConnection& c) {
    if (!c.Send(EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 2, 5})})) || !c.ReadRequest()) return;
    if (!c.Send(cut)) return;
    if (reset) c.Reset();  // otherwise closed normally after the script
  });
  VClientUnderTest test;
  test.Connect(peer.Port());
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Disconnected, 1));
  EXPECT_EQ(test.Client->EndReason(), reset ? EEndReason::SocketError : EEndReason::PeerClosed);
  EXPECT_EQ(test.Recorder->Count(VRecorder::Dynamic), 0u);
  EXPECT_EQ(test.Recorder->Count(VRecorder::Static), 0u);
  EXPECT_TRUE(peer.WaitFinished(10s));
  test.Client.reset();
  EXPECT_EQ(test.Recorder->Count(VRecorder::Disconnected), 1u);
}

TEST(HostileStream, TruncatedPacketThenCloseDeliversNothingAndEndsTheConnection) {
  ExpectCutDeliversNothing(false);
}

TEST(HostileStream, ResetInTheMiddleOfAPacketDeliversNothingAndEndsTheConnection) {
  ExpectCutDeliversNothing(true);
}

TEST(HostileStream, OneByteAtATimeDecodesEveryObjectExactly) {
  VCaptureServerOptions options = ServerOptions();
  options.OneByteAtATime = true;
  VCaptureServer server(options);
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push(ScenePacket(100));
  server.Push(ToleratedDataPackets().front().Bytes);

  VClientUnderTest test;
  test.Connect(server.Port());
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Dynamic, 2));
  EXPECT_EQ(test.Recorder->FrameNumbers(), (std::vector<int32_t>{100, ToleratedDataPackets().front().FrameNumber}));
  ASSERT_EQ(test.Recorder->Count(VRecorder::Static), 1u);
}

// ---- Video frames whose size disagrees with their data, conversion on ------------

TEST(HostileStream, VideoFramesOfEverySizeAreConvertedOnlyWhenTheirDataCoversTheImage) {
  struct Frame {
    uint16_t W, H;
    int32_t Format;
    std::size_t Data;
    bool Converts;
  };
  const std::vector<Frame> frames = {
      {640, 480, 3, 10, false},      // far fewer bytes than the image
      {2, 2, 5, 100, true},          // more bytes: the first 4 are the image
      {65535, 65535, 2, 0, false},   // the largest image, no data
      {0, 0, 3, 5, true},            // an empty image
      {3, 2, 3, 6, true},            // an odd width
      {1, 5, 2, 5, true},            // a single column: all black
      {4, 3, 7, 5, false},           // not a mosaic: left alone whatever its size
  };
  std::vector<VBytes> objects;
  for (const Frame& f : frames) {
    VVideoFrame frame;
    frame.Width = f.W;
    frame.Height = f.H;
    frame.Format = f.Format;
    for (std::size_t i = 0; i < f.Data; ++i) frame.Data.push_back(static_cast<uint8_t>(i * 13 + 1));
    objects.push_back(EncodeVideoFrame(frame));
  }
  objects.push_back(EncodeFrameNumber(5));

  VCaptureServer server(ServerOptions());
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push(EncodePacket(objects));
  VClientUnderTest test;
  test.Client->SetVideoConversion(true);
  test.Connect(server.Port());
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Dynamic, 1));
  const auto delivered = test.Recorder->LastDynamic();
  ASSERT_TRUE(delivered);
  ASSERT_EQ(delivered->VideoFrames.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const Frame& f = frames[i];
    const VVideoFrame& got = *delivered->VideoFrames[i];
    EXPECT_EQ(got.Width, f.W);
    EXPECT_EQ(got.Height, f.H);
    if (f.Converts) {
      EXPECT_EQ(got.Format, 7);
      ASSERT_EQ(got.Data.size(), std::size_t{f.W} * f.H * 3);
      // Row 0 and the last column are black.
      for (std::size_t k = 0; k < std::size_t{f.W} * 3 && f.H > 0; ++k) EXPECT_EQ(got.Data[k], 0) << k;
      for (std::size_t r = 0; r < f.H && f.W > 0; ++r) {
        for (std::size_t b = 0; b < 3; ++b) EXPECT_EQ(got.Data[(r * f.W + f.W - 1) * 3 + b], 0);
      }
    } else {
      EXPECT_EQ(got.Format, f.Format);
      EXPECT_EQ(got.Data.size(), f.Data);
    }
  }
  // The 2x2 frame of format 5 from its first four bytes 1, 14, 27, 40:
  // pixel (1, 0) is OE = 27, avg(EE = 1, OO = 40) = 20, EO = 14.
  const VVideoFrame& twoByTwo = *delivered->VideoFrames[1];
  ASSERT_EQ(twoByTwo.Data.size(), 12u);
  EXPECT_EQ((std::vector<uint8_t>(twoByTwo.Data.begin() + 6, twoByTwo.Data.begin() + 9)),
            (std::vector<uint8_t>{27, 20, 14}));
  EXPECT_EQ(test.Recorder->Count(VRecorder::Disconnected), 0u);
}

}  // namespace
}  // namespace QSHostile
