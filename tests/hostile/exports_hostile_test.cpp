// Hostile capture servers against the whole library in one process, seen
// only through QS.h and the exports of libQS.so. The exports always connect
// to port 801: every test serves on port 801 of a loopback address of its
// own, inside the private network namespace the test runner makes.
//
// For each peer: the process survives (and, in the sanitizer builds, no
// report is made), the connection ends where it must (IsConnected false,
// Disconnect reports the lost connection and returns promptly), nothing of a
// malformed packet is ever taken as a frame, and the library still serves a
// good peer afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QS.h"
#include "hostile/hostile_packets.h"
#include "testing/hostile_peer.h"
#include "streamio/object_types.h"
#include "testing/capture_server.h"
#include "tests/support/exports_test_support.h"

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace QSTesting;
using Clock = std::chrono::steady_clock;
using namespace QSExportsTest;

namespace QSHostile {

using QSTesting::VHostilePeer;
using QSTesting::VPeerConnection;
using QSTesting::LimitClientSendBuffer;
namespace {


// How long any export may take while the peer misbehaves. Generous: the
// sanitizer builds run many times slower; a call that hangs never returns.
constexpr auto CallBound = 3s;

std::string Address(int group, int index) {
  return "127.0." + std::to_string(group) + "." + std::to_string(10 + index);
}

// Runs `call` and returns how long it took.
Clock::duration Timed(const std::function<void()>& call) {
  const auto start = Clock::now();
  call();
  return Clock::now() - start;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class HostileExports : public ::testing::Test {
 protected:
  void TearDown() override {
    SetPreFetchMode(0);
    Disconnect();
    SetRightHandRule();
    SetZUp();
  }

  // A fresh good peer on another address: a connection, a frame, the scene.
  void ExpectStillServesAGoodPeer(const std::string& address) {
    SCOPED_TRACE("a good peer after the hostile one");
    VCaptureServer good(On801(address));
    ASSERT_TRUE(good.Start()) << good.LastError();
    good.Push(ScenePacket(200));
    ASSERT_TRUE(Connect(address.c_str()));
    ASSERT_TRUE(WaitForFrame(200));
    int32_t segments = 0;
    EXPECT_TRUE(GetSegmentCount("Hero", &segments));
    EXPECT_EQ(segments, 2);
    EXPECT_STREQ(GetSegmentName("Hero", 2), "Arm");
    EXPECT_TRUE(Disconnect());
  }

  // Takes frames until the connection ends; returns every frame number seen.
  std::set<int32_t> FramesUntilTheConnectionEnds(std::chrono::milliseconds timeout = 10000ms) {
    std::set<int32_t> seen;
    const bool ended = WaitUntil(
        [&] {
          GetFrame();
          const int32_t n = FrameNow();
          if (n != -1) seen.insert(n);
          return !IsConnected();
        },
        timeout);
    EXPECT_TRUE(ended) << "the connection did not end";
    return seen;
  }

  void ExpectLostConnectionIsLeftPromptly() {
    EXPECT_FALSE(IsConnected());
    EXPECT_FALSE(GetFrame());
    int32_t n = 5;
    EXPECT_FALSE(GetFrameNumber(&n));
    EXPECT_EQ(n, 0);
    bool result = true;
    const auto took = Timed([&] { result = Disconnect(); });
    EXPECT_FALSE(result) << "Disconnect of a lost connection reports nothing was connected";
    EXPECT_LT(took, CallBound) << Seconds(took) << " s";
  }
};

// ---- Malformed data packets --------------------------------------------------------

class HostileExportsRejected : public HostileExports, public ::testing::WithParamInterface<int> {};

TEST_P(HostileExportsRejected, EndTheConnectionAndNoFrameOfThemIsEverTaken) {
  const VHostileCase bad = RejectedDataPackets().at(static_cast<std::size_t>(GetParam()));
  const std::string address = Address(1, GetParam());
  VCaptureServer server(On801(address));
  QS_START_OR_SKIP(server);
  server.Push(ScenePacket(100));
  ASSERT_TRUE(Connect(address.c_str()));
  ASSERT_TRUE(WaitForFrame(100));

  server.Push(bad.Bytes);
  const std::set<int32_t> seen = FramesUntilTheConnectionEnds();
  EXPECT_EQ(seen.count(PoisonFrame), 0u) << "a frame of the malformed packet was taken";
  EXPECT_LE(seen.size(), 1u);
  ExpectLostConnectionIsLeftPromptly();
  // The socket of a lost connection is closed when Disconnect lets the
  // frame client go.
  ASSERT_TRUE(server.WaitForClosedConnections(1, 10s));
  EXPECT_EQ(server.RequestCount(), 2u) << "a request was sent after the malformed packet";
  ExpectStillServesAGoodPeer(Address(2, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileExportsRejected,
                         ::testing::Range(0, static_cast<int>(RejectedDataPackets().size())),
                         [](const auto& info) { return RejectedDataPackets().at(info.param).Name; });

class HostileExportsHandshake : public HostileExports, public ::testing::WithParamInterface<int> {};

TEST_P(HostileExportsHandshake, EndsTheConnectionBeforeAnyRequest) {
  const VHostileCase bad = RejectedHandshakes().at(static_cast<std::size_t>(GetParam()));
  const std::string address = Address(3, GetParam());
  VCaptureServerOptions options = On801(address);
  options.HandshakeBytes = bad.Bytes;
  VCaptureServer server(options);
  QS_START_OR_SKIP(server);
  server.Push(ScenePacket(100));
  // The connection may already have ended when Connect checks it: either
  // result is right, as long as it ends.
  Connect(address.c_str());
  const std::set<int32_t> seen = FramesUntilTheConnectionEnds();
  EXPECT_TRUE(seen.empty());
  Disconnect();
  EXPECT_FALSE(IsConnected());
  ASSERT_TRUE(server.WaitForClosedConnections(1, 10s));
  EXPECT_EQ(server.RequestCount(), 0u);
  ExpectStillServesAGoodPeer(Address(4, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileExportsHandshake,
                         ::testing::Range(0, static_cast<int>(RejectedHandshakes().size())),
                         [](const auto& info) { return RejectedHandshakes().at(info.param).Name; });

class HostileExportsTolerated : public HostileExports, public ::testing::WithParamInterface<int> {};

TEST_P(HostileExportsTolerated, DeliverWhatTheyDecodeToAndTheConnectionStays) {
  const VToleratedCase odd = ToleratedDataPackets().at(static_cast<std::size_t>(GetParam()));
  const std::string address = Address(5, GetParam());
  VCaptureServer server(On801(address));
  QS_START_OR_SKIP(server);
  server.Push(ScenePacket(100));
  ASSERT_TRUE(Connect(address.c_str()));
  ASSERT_TRUE(WaitForFrame(100));
  server.Push(odd.Bytes);
  ASSERT_TRUE(WaitForFrame(odd.FrameNumber));
  server.Push(FramePacket(101));
  ASSERT_TRUE(WaitForFrame(101));
  EXPECT_TRUE(IsConnected());
  const auto took = Timed([] { EXPECT_TRUE(Disconnect()); });
  EXPECT_LT(took, CallBound);
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileExportsTolerated,
                         ::testing::Range(0, static_cast<int>(ToleratedDataPackets().size())),
                         [](const auto& info) { return ToleratedDataPackets().at(info.param).Name; });

// ---- Connections cut short ---------------------------------------------------------

TEST_F(HostileExports, TruncatedPacketThenCloseEndsTheConnection) {
  VHostilePeer peer(Address(6, 0), 801);
  if (!peer.Listen()) GTEST_SKIP() << peer.Error();
  std::atomic<bool> go{false};
  peer.Serve([&](VPeerConnection& c) {
    // Wait until the test has taken the good frame, then cut.
    if (!c.Send(EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 2, 3, 4, 5})})) || !c.ReadRequest()) return;
    if (!c.Send(ScenePacket(100)) || !c.ReadRequest()) return;
    if (!WaitUntil([&] { return go.load() || peer.Stopping(); }, 20s) || !go) return;
    const VBytes frame = FramePacket(PoisonFrame);
    c.Send(VBytes(frame.begin(), frame.begin() + 10));
  });
  ASSERT_TRUE(Connect(Address(6, 0).c_str()));
  ASSERT_TRUE(WaitForFrame(100));
  go = true;
  EXPECT_EQ(FramesUntilTheConnectionEnds().count(PoisonFrame), 0u);
  ExpectLostConnectionIsLeftPromptly();
  peer.Stop();
  ExpectStillServesAGoodPeer(Address(6, 1));
}

TEST_F(HostileExports, ResetInTheMiddleOfAPacketEndsTheConnection) {
  VHostilePeer peer(Address(6, 2), 801);
  if (!peer.Listen()) GTEST_SKIP() << peer.Error();
  std::atomic<bool> go{false};
  peer.Serve([&](VPeerConnection& c) {
    if (!c.Send(EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 2, 3, 4, 5})})) || !c.ReadRequest()) return;
    if (!c.Send(ScenePacket(100)) || !c.ReadRequest()) return;
    // Cut only once Connect has returned: a connection already lost when
    // Connect asks whether it stands is a failed Connect, not this case.
    if (!WaitUntil([&] { return go.load() || peer.Stopping(); }, 20s) || !go) return;
    const VBytes frame = EncodePacket({EncodeFrameNumber(PoisonFrame), EncodeStreamInfo(1)});
    if (!c.Send(VBytes(frame.begin(), frame.begin() + 13))) return;
    c.Reset();
  });
  ASSERT_TRUE(Connect(Address(6, 2).c_str()));
  go = true;
  const std::set<int32_t> seen = FramesUntilTheConnectionEnds();
  EXPECT_EQ(seen.count(PoisonFrame), 0u);
  ExpectLostConnectionIsLeftPromptly();
  peer.Stop();
  ExpectStillServesAGoodPeer(Address(6, 3));
}

// ---- Slow, silent and deaf peers -----------------------------------------------------

TEST_F(HostileExports, OneByteAtATimeStillDecodesTheSceneAndPoses) {
  const std::string address = Address(7, 0);
  VCaptureServerOptions options = On801(address);
  options.OneByteAtATime = true;
  VCaptureServer server(options);
  QS_START_OR_SKIP(server);
  LumoraQSStream::VSegmentPoses poses;
  poses.SubjectID = 1;
  LumoraQSStream::VSegmentPose pose{};
  pose.SegmentID = 11;
  pose.Translation = {1.5, -2.25, 3.0};
  pose.Rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  poses.Poses.push_back(pose);
  VBytes scene = ScenePacket(300);
  VBytes withPoses = EncodePacket({EncodeFrameNumber(301), EncodeGlobalSegmentPoses(poses)});
  server.Push({scene, withPoses});
  ASSERT_TRUE(Connect(address.c_str()));
  ASSERT_TRUE(EnableSegmentData());
  // The scene is sent only once; GetFrame keeps the scene of the newest
  // frame, so the poses are checked on frame 301 with the scene of 300.
  ASSERT_TRUE(WaitForFrame(301, 20000ms));
  int32_t subjects = 0;
  EXPECT_TRUE(GetSubjectCount(&subjects));
  EXPECT_EQ(subjects, 1);
  EXPECT_STREQ(GetSubjectName(1), "Hero");
  EXPECT_STREQ(GetSegmentName("Hero", 1), "Root");
  EXPECT_STREQ(GetMarkerName("Hero", 1), "Tip");
  double t[3] = {0, 0, 0};
  int32_t occluded = 1;
  EXPECT_TRUE(GetGlobalSegmentTranslation("Hero", "Arm", t, &occluded));
  EXPECT_EQ(occluded, 0);
  EXPECT_DOUBLE_EQ(t[0], 1.5);
  EXPECT_DOUBLE_EQ(t[1], -2.25);
  EXPECT_DOUBLE_EQ(t[2], 3.0);
  EXPECT_TRUE(Disconnect());
}

TEST_F(HostileExports, PeerSilentFromTheStartIsLeftPromptly) {
  const std::string address = Address(7, 1);
  VCaptureServerOptions options = On801(address, EServeBehaviour::SilentAfterHandshake);
  options.HandshakeBytes = VBytes{};  // nothing at all
  VCaptureServer server(options);
  QS_START_OR_SKIP(server);
  ASSERT_TRUE(Connect(address.c_str()));
  ASSERT_TRUE(server.WaitForConnections(1, 5s));
  // A silent peer is not a lost connection: nothing may change during this
  // pause, after which the receiving thread is blocked in its read.
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(IsConnected());
  EXPECT_TRUE(GetFrame());
  EXPECT_EQ(FrameNow(), -1);
  bool result = false;
  const auto took = Timed([&] { result = Disconnect(); });
  EXPECT_TRUE(result);
  EXPECT_LT(took, CallBound) << Seconds(took) << " s";
  EXPECT_TRUE(server.WaitForClosedConnections(1, 5s));
}

// Video frames the client never asked for keep frame records referring to
// them; Disconnect still ends the connection at once (the server sees it
// close), and a later connection works.
TEST_F(HostileExports, UnrequestedVideoFramesDoNotHoldTheHostUp) {
  const std::string address = Address(7, 2);
  VCaptureServer server(On801(address));
  QS_START_OR_SKIP(server);
  LumoraQSStream::VVideoFrame frame;
  frame.Width = 4;
  frame.Height = 2;
  frame.Format = 3;
  frame.Data.assign(8, 1);
  server.Push(EncodePacket({EncodeFrameNumber(400), EncodeVideoFrame(frame)}));
  ASSERT_TRUE(Connect(address.c_str()));
  ASSERT_TRUE(WaitForFrame(400));
  bool result = false;
  const auto took = Timed([&] { result = Disconnect(); });
  EXPECT_TRUE(result);
  EXPECT_LT(took, CallBound);
  EXPECT_FALSE(IsConnected());
  EXPECT_TRUE(server.WaitForClosedConnections(1, 5s));
  ExpectStillServesAGoodPeer(Address(7, 3));
}

// ---- No export hangs the host ----------------------------------------------------------

// Calls every export (Disconnect last) and checks that each returns within
// CallBound. Returns the slowest call for the report.
void ExpectEveryExportReturnsPromptly(const std::string& otherAddress) {
  std::map<std::string, Clock::duration> took;
  auto call = [&](const std::string& name, const std::function<void()>& body) { took[name] = Timed(body); };
  int32_t n = 0;
  double v[4] = {0, 0, 0, 0};
  double d = 0;
  int32_t occluded = 0;

  call("Connect", [&] { EXPECT_FALSE(Connect(otherAddress.c_str())); });  // already connected
  call("IsConnected", [] { IsConnected(); });
  call("GetFrame", [] { GetFrame(); });
  call("GetFrameNumber", [&] { GetFrameNumber(&n); });
  call("EnableSegmentData", [] { EnableSegmentData(); });
  call("EnableMarkerData", [] { EnableMarkerData(); });
  call("EnableForcePlateData", [] { EnableForcePlateData(); });
  call("GetSubjectCount", [&] { GetSubjectCount(&n); });
  call("GetSubjectName", [] { GetSubjectName(1); });
  call("GetSegmentCount", [&] { GetSegmentCount("Hero", &n); });
  call("GetSegmentName", [] { GetSegmentName("Hero", 1); });
  call("GetMarkerCount", [&] { GetMarkerCount("Hero", &n); });
  call("GetMarkerName", [] { GetMarkerName("Hero", 1); });
  call("GetGlobalSegmentTranslation", [&] { GetGlobalSegmentTranslation("Hero", "Root", v, &occluded); });
  call("GetGlobalSegmentRotationHelical", [&] { GetGlobalSegmentRotationHelical("Hero", "Root", v, &occluded); });
  call("GetGlobalSegmentRotationQuaternion",
       [&] { GetGlobalSegmentRotationQuaternion("Hero", "Root", v, &occluded); });
  call("GetGlobalMarkerTranslation", [&] { GetGlobalMarkerTranslation("Hero", "Tip", v, &occluded); });
  call("GetForcePlateCount", [&] { GetForcePlateCount(&n); });
  call("GetForcePlateID", [&] { GetForcePlateID(1, &n); });
  call("GetForceVector", [&] { GetForceVector(1, v); });
  call("GetMomentVector", [&] { GetMomentVector(1, v); });
  call("GetCentreOfPressure", [&] { GetCentreOfPressure(1, v); });
  call("GetNumberOfAnalogChannels", [&] { GetNumberOfAnalogChannels(1, &n); });
  call("GetAnalogChannelVoltage", [&] { GetAnalogChannelVoltage(1, 1, &d); });
  call("SetLeftHandRule", [] { SetLeftHandRule(); });
  call("SetRightHandRule", [] { SetRightHandRule(); });
  call("SetYUp", [] { SetYUp(); });
  call("SetZUp", [] { SetZUp(); });
  call("SetPreFetchMode(1)", [] { SetPreFetchMode(1); });
  call("GetFrame (prefetching)", [] { GetFrame(); });
  call("SetPreFetchMode(0)", [] { SetPreFetchMode(0); });
  call("SetPreFetchMode(1) again", [] { SetPreFetchMode(1); });
  call("Disconnect (prefetching)", [] { EXPECT_TRUE(Disconnect()); });

  for (const auto& [name, duration] : took) {
    EXPECT_LT(duration, CallBound) << name << " took " << Seconds(duration) << " s";
  }
  EXPECT_EQ(took.size(), 33u);
}

TEST_F(HostileExports, EveryExportReturnsPromptlyWhileTheReceivingThreadWaitsOnASilentPeer) {
  const std::string address = Address(8, 0);
  VCaptureServer server(On801(address, EServeBehaviour::SilentAfterHandshake));
  QS_START_OR_SKIP(server);
  ASSERT_TRUE(Connect(address.c_str()));
  // The handshake was read and the first request sent: the receiving
  // thread now waits for a packet that never comes.
  ASSERT_TRUE(server.WaitForRequests(1, 10s));
  ExpectEveryExportReturnsPromptly(Address(8, 1));
  EXPECT_FALSE(IsConnected());
}

TEST_F(HostileExports, EveryExportReturnsPromptlyWhileAFloodingPeerReadsNoRequest) {
  const std::string address = Address(8, 2);
  // A small receive buffer on the peer and a small send buffer on the
  // client: the client's requests stop going out after a few dozen packets,
  // well within the library's bound on a peer that keeps its window closed.
  VHostilePeer peer(address, 801, 4096);
  if (!peer.Listen()) GTEST_SKIP() << peer.Error();
  std::atomic<bool> stalled{false};
  std::atomic<std::size_t> flooded{0};
  peer.Serve([&](VPeerConnection& c) {
    if (!c.Send(EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 2, 3, 4, 5})}))) return;
    if (!c.Send(ScenePacket(1))) return;
    flooded = c.Flood(FramePacket(2), 5000000, 30000ms, 1000ms);
    stalled = c.Stalled();
    c.Idle(30000ms);  // keep the connection, never read
  });
  ASSERT_TRUE(Connect(address.c_str()));
  ASSERT_EQ(LimitClientSendBuffer(address, 801), 1);
  ASSERT_TRUE(WaitUntil([&] { return stalled.load() || peer.Finished(); }, 40000ms));
  ASSERT_TRUE(stalled) << "the client kept reading although nothing read its requests; " << flooded
                       << " packets sent";
  std::printf("flooding peer stalled after %zu packets\n", flooded.load());
  EXPECT_TRUE(IsConnected());
  ExpectEveryExportReturnsPromptly(Address(8, 3));
  EXPECT_FALSE(IsConnected());
  peer.Stop();
  ExpectStillServesAGoodPeer(Address(8, 4));
}

}  // namespace
}  // namespace QSHostile
