// The stream client against a real capture-server peer over loopback.
#include "stream/stream_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stream/video_conversion.h"
#include "testing/capture_server.h"
#include "testing/wait.h"

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace QSTesting;
using namespace LumoraQSStream;
using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

namespace {

// Records every event in arrival order; waits are bounded.
class VRecorder : public ILumoraQSStreamClientCallback {
 public:
  void OnConnected() override { Add("connected"); }
  void OnStaticObjects(std::shared_ptr<const VStaticObjects> objects) override {
    std::lock_guard<std::mutex> lock(Mutex);
    Statics.push_back(objects);
    AddLocked("static");
  }
  void OnDynamicObjects(std::shared_ptr<const VDynamicObjects> objects) override {
    std::lock_guard<std::mutex> lock(Mutex);
    Dynamics.push_back(objects);
    AddLocked("dynamic");
  }
  void OnDisconnected() override { Add("disconnected"); }

  bool WaitForEvent(const std::string& name, std::size_t count = 1,
                    std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return CountLocked(name) >= count; });
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Log;
  }
  std::size_t Count(const std::string& name) {
    std::lock_guard<std::mutex> lock(Mutex);
    return CountLocked(name);
  }

  std::vector<std::shared_ptr<const VStaticObjects>> Statics;
  std::vector<std::shared_ptr<const VDynamicObjects>> Dynamics;
  std::mutex Mutex;

 private:
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> lock(Mutex);
    AddLocked(event);
  }
  void AddLocked(const std::string& event) {
    Log.push_back(event);
    Changed.notify_all();
  }
  std::size_t CountLocked(const std::string& name) const {
    std::size_t n = 0;
    for (const auto& e : Log) n += e == name;
    return n;
  }
  std::condition_variable Changed;
  std::vector<std::string> Log;
};

VBytes FramePacket(int32_t frame) { return EncodePacket({EncodeFrameNumber(frame)}); }

VCaptureServerOptions Options(EServeBehaviour behaviour) {
  VCaptureServerOptions options;
  options.Behaviour = behaviour;
  options.ScriptWait = 3000ms;
  return options;
}

struct VFixture {
  explicit VFixture(VCaptureServerOptions options = {}) : Server(std::move(options)) {
    EXPECT_TRUE(Server.Start()) << Server.LastError();
    Client = std::make_unique<VLumoraQSStreamClient>(Recorder);
  }
  void Connect() { Client->Connect("127.0.0.1", Server.Port()); }

  VCaptureServer Server;
  std::shared_ptr<VRecorder> Recorder = std::make_shared<VRecorder>();
  std::unique_ptr<VLumoraQSStreamClient> Client;
};

}  // namespace

TEST(StreamClient, HandshakeThenFirstRequestCarriesTypesLaterOnlyTheMode) {
  VFixture f;
  f.Server.Push({FramePacket(1), FramePacket(2), FramePacket(3)});
  f.Client->SetRequestedTypes({5, 1, 3});
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic", 3));
  ASSERT_TRUE(f.Server.WaitForRequests(3, 5s));
  const auto requests = f.Server.Requests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests[0].Bytes, EncodeRequest(std::set<int32_t>{1, 3, 5}, uint8_t{0}));
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].Bytes.size(), 17u);
    EXPECT_EQ(requests[i].Bytes, EncodeRequest(std::nullopt, uint8_t{0}));
  }
  EXPECT_EQ(f.Recorder->Dynamics[2]->FrameNumber, 3);
  EXPECT_EQ(f.Recorder->Events().front(), "connected");
}

TEST(StreamClient, FirstRequestWithoutTypesCarriesAnEmptyList) {
  VFixture f;
  f.Server.Push(FramePacket(1));
  f.Connect();
  ASSERT_TRUE(f.Server.WaitForRequests(1, 5s));
  EXPECT_EQ(f.Server.Requests()[0].Bytes, EncodeRequest(std::set<int32_t>{}, uint8_t{0}));
  EXPECT_EQ(f.Server.Requests()[0].Bytes.size(), 8u + 12u + 9u);
}

TEST(StreamClient, TypeChangesAreSentWithTheNextRequest) {
  VFixture f;
  f.Connect();
  ASSERT_TRUE(f.Server.WaitForRequests(1, 5s));
  // Enabled one at a time between two turns: one list, ascending.
  f.Client->SetRequestedTypes({9});
  f.Client->SetRequestedTypes({4, 9});
  f.Client->SetRequestedTypes({2, 4, 9});
  f.Client->SetRequestedTypes({2, 4, 9});  // equal to the current set: still sent
  f.Server.Push(FramePacket(1));
  ASSERT_TRUE(f.Server.WaitForRequests(2, 5s));
  const auto requests = f.Server.Requests();
  EXPECT_EQ(requests[1].Bytes, EncodeRequest(std::set<int32_t>{2, 4, 9}, uint8_t{0}));
}

TEST(StreamClient, StreamModeOtherThanZeroSendsOnlyAfterAChange) {
  VCaptureServerOptions options = Options(EServeBehaviour::StreamScript);
  VFixture f(options);
  f.Client->SetStreamMode(1);
  f.Server.Push({FramePacket(1), FramePacket(2), FramePacket(3), FramePacket(4)});
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic", 4));
  // The first turn carries types and mode; the next turns send nothing.
  ASSERT_TRUE(f.Server.WaitForRequests(1, 5s));
  EXPECT_EQ(f.Server.RequestCount(), 1u);
  EXPECT_EQ(f.Server.Requests()[0].Bytes, EncodeRequest(std::set<int32_t>{}, uint8_t{1}));

  // Back to mode 0: the mode goes out with the next turn and a request
  // follows every turn after that.
  f.Client->SetStreamMode(0);
  f.Server.Push({FramePacket(5), FramePacket(6), FramePacket(7)});
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic", 7));
  ASSERT_TRUE(f.Server.WaitForRequests(3, 5s));
  const auto requests = f.Server.Requests();
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].Bytes, EncodeRequest(std::nullopt, uint8_t{0}));
  }
}

TEST(StreamClient, StaticBeforeDynamicOfTheSamePacket) {
  VFixture f;
  VDeviceInfo device;
  device.DeviceID = 7;
  device.Name = "Plate";
  f.Server.Push(EncodePacket({EncodeFrameNumber(11), EncodeDeviceInfo(device)}));
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic"));
  const auto events = f.Recorder->Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], "connected");
  EXPECT_EQ(events[1], "static");
  EXPECT_EQ(events[2], "dynamic");
  EXPECT_EQ(f.Recorder->Statics[0]->Devices.at(0).Name, "Plate");
}

TEST(StreamClient, CarryOverAcrossPacketsOverTheWire) {
  VFixture f;
  VSubjectInfo subject;
  subject.SubjectID = 1;
  subject.Name = "Walker";
  f.Server.Push({EncodePacket({EncodeSubjectInfo(subject), EncodeFrameNumber(1)}),
                 EncodePacket({EncodePacketSummary({}, {SubjectInfo, FrameNumber}),
                               EncodeStreamInfo(99), EncodeFrameNumber(2)})});
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic", 2));
  ASSERT_EQ(f.Recorder->Statics.size(), 2u);
  EXPECT_EQ(f.Recorder->Statics[1]->Subjects.at(0).Name, "Walker");
  EXPECT_EQ(f.Recorder->Statics[1]->StreamValue, 99);
  EXPECT_EQ(f.Recorder->Dynamics[1]->FrameNumber, 1);
}

TEST(StreamClient, PacketsSentOneByteAtATimeDecodeTheSame) {
  VCaptureServerOptions options;
  options.OneByteAtATime = true;
  VFixture f(options);
  VMarkerPosition marker{};
  marker.SubjectID = 2;
  marker.MarkerID = 3;
  marker.Position = {0.5, -1.5, 2.25};
  f.Server.Push(EncodePacket({EncodeFrameNumber(77), EncodeMarkerPositions({marker})}));
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic", 1, 10s));
  const auto& objects = *f.Recorder->Dynamics[0];
  EXPECT_EQ(objects.FrameNumber, 77);
  ASSERT_EQ(objects.MarkerPositions.size(), 1u);
  EXPECT_EQ(objects.MarkerPositions[0].Position[1], -1.5);
}

TEST(StreamClient, WrongMagicEndsTheConnectionWithOneDisconnect) {
  VFixture f;
  f.Server.Push({FramePacket(1), EncodePacketWith(0x1A2B3C4E, {EncodeFrameNumber(2)}),
                 FramePacket(3)});
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("disconnected"));
  EXPECT_EQ(f.Recorder->Count("dynamic"), 1u);
  f.Client.reset();
  EXPECT_EQ(f.Recorder->Count("disconnected"), 1u);
}

TEST(StreamClient, HandshakeWithoutTypeListSendsNoRequest) {
  VCaptureServerOptions options;
  options.HandshakeBytes = EncodePacket({EncodeFrameNumber(1)});
  VFixture f(options);
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("disconnected"));
  f.Client.reset();
  EXPECT_EQ(f.Server.RequestCount(), 0u);
  EXPECT_EQ(f.Recorder->Events(), (std::vector<std::string>{"connected", "disconnected"}));
}

TEST(StreamClient, OversizedPayloadEndsTheConnectionCleanly) {
  for (int32_t length : {0x7FFFFFFF, -8}) {
    VFixture f;
    f.Server.Push(EncodePacketWith(PacketMagic, {EncodeFrameNumber(1)}, length));
    f.Connect();
    ASSERT_TRUE(f.Recorder->WaitForEvent("disconnected")) << length;
    f.Client.reset();
    EXPECT_EQ(f.Recorder->Count("dynamic"), 0u);
    EXPECT_EQ(f.Recorder->Count("disconnected"), 1u);
  }
}

TEST(StreamClient, ServerClosingRightAfterAcceptGivesConnectThenDisconnect) {
  VFixture f(Options(EServeBehaviour::CloseAfterAccept));
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("disconnected"));
  f.Client.reset();
  EXPECT_EQ(f.Recorder->Events(), (std::vector<std::string>{"connected", "disconnected"}));
}

TEST(StreamClient, DestroyingWhileASilentServerHoldsTheReadReturnsPromptly) {
  VFixture f(Options(EServeBehaviour::SilentAfterHandshake));
  f.Connect();
  ASSERT_TRUE(f.Server.WaitForRequests(1, 5s));
  const auto start = std::chrono::steady_clock::now();
  f.Client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(f.Recorder->Count("disconnected"), 1u);
  EXPECT_EQ(f.Recorder->Events().back(), "disconnected");
}

TEST(StreamClient, DestroyingWhileStreamingReportsExactlyOneDisconnect) {
  VFixture f(Options(EServeBehaviour::StreamScript));
  for (int i = 0; i < 200; ++i) f.Server.Push(FramePacket(i));
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic", 5));
  f.Client.reset();
  EXPECT_EQ(f.Recorder->Count("disconnected"), 1u);
  EXPECT_EQ(f.Recorder->Events().back(), "disconnected");
}

TEST(StreamClient, AStreamingPeerIsReleasedWhenTheClientGoes) {
  // A peer that keeps sending large packets must see the connection end as
  // soon as the client is destroyed, not stall on a zero window.
  VFixture f(Options(EServeBehaviour::StreamScript));
  VRecordArray<VMarkerPosition> markers(2000, VMarkerPosition{});
  for (int i = 0; i < 100; ++i) {
    f.Server.Push(EncodePacket({EncodeFrameNumber(i), EncodeMarkerPositions(markers)}));
  }
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic", 2));
  f.Client.reset();
  EXPECT_TRUE(f.Server.WaitForClosedConnections(1, 3s));
}

TEST(StreamClient, ExpiredCallbackDropsEventsAndTheConnectionEndsNormally) {
  VFixture f;
  for (int i = 0; i < 5; ++i) f.Server.Push(FramePacket(i));
  std::weak_ptr<VRecorder> watch = f.Recorder;
  f.Client = std::make_unique<VLumoraQSStreamClient>(std::weak_ptr<ILumoraQSStreamClientCallback>());
  f.Recorder.reset();
  EXPECT_TRUE(watch.expired());
  f.Connect();
  // The connection still runs: the server sees requests for all five frames.
  EXPECT_TRUE(f.Server.WaitForRequests(5, 5s));
  f.Client.reset();
}

TEST(StreamClient, CallbackDestroyedMidConnectionStopsEvents) {
  VFixture f(Options(EServeBehaviour::StreamScript));
  f.Server.Push(FramePacket(1));
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic"));
  std::weak_ptr<VRecorder> watch = f.Recorder;
  f.Recorder.reset();
  // The receiving thread holds a strong reference only while a call runs:
  // once the call that woke us has returned, the object is gone.
  EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }, 2s));
  for (int i = 2; i < 10; ++i) f.Server.Push(FramePacket(i));
  f.Client.reset();
}

TEST(StreamClient, UnresolvableNameOrRefusedPortReportsOneDisconnectBeforeConnectReturns) {
  auto recorder = std::make_shared<VRecorder>();
  {
    VLumoraQSStreamClient client(recorder);
    client.Connect("", 801);
    EXPECT_EQ(recorder->Events(), (std::vector<std::string>{"disconnected"}));
  }
  EXPECT_EQ(recorder->Count("disconnected"), 1u);

  // A port nobody listens on: bind one, read its number, close it again.
  uint16_t closedPort = 0;
  {
    boost::asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(make_address("127.0.0.1"), 0));
    closedPort = acceptor.local_endpoint().port();
  }
  auto refused = std::make_shared<VRecorder>();
  {
    VLumoraQSStreamClient client(refused);
    client.Connect("127.0.0.1", closedPort);
    EXPECT_EQ(refused->Events(), (std::vector<std::string>{"disconnected"}));
  }
  EXPECT_EQ(refused->Count("disconnected"), 1u);
}

TEST(StreamClient, NeverConnectedClientCallsNothing) {
  auto recorder = std::make_shared<VRecorder>();
  { VLumoraQSStreamClient client(recorder); }
  EXPECT_TRUE(recorder->Events().empty());
}

TEST(StreamClient, FailedEndpointDoesNotSpoilTheSocketForTheNext) {
  // The first endpoint is IPv6 loopback, where nobody listens; the server
  // listens on IPv4 loopback only. The second attempt needs an IPv4 socket.
  VFixture f;
  f.Server.Push(FramePacket(5));
  const std::vector<tcp::endpoint> endpoints = {tcp::endpoint(make_address("::1"), 1),
                                                tcp::endpoint(make_address("127.0.0.1"), 1)};
  f.Client->Connect(endpoints, f.Server.Port());
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic"));
  EXPECT_EQ(f.Recorder->Events().front(), "connected");
  EXPECT_EQ(f.Recorder->Dynamics[0]->FrameNumber, 5);
}

TEST(StreamClient, VideoConversionSwitchedOnAppliesToLaterFrames) {
  VFixture f;
  VVideoFrame frame;
  frame.Width = 4;
  frame.Height = 2;
  frame.Format = VideoFormat::MosaicB;
  frame.Data = {10, 20, 30, 40, 50, 60, 70, 80};
  f.Server.Push(EncodePacket({EncodeFrameNumber(1), EncodeVideoFrame(frame)}));
  f.Client->SetVideoConversion(true);
  f.Connect();
  ASSERT_TRUE(f.Recorder->WaitForEvent("dynamic"));
  const VVideoFrame& received = *f.Recorder->Dynamics[0]->VideoFrames.at(0);
  EXPECT_EQ(received.Format, VideoFormat::ThreeBytes);
  EXPECT_EQ(std::vector<uint8_t>(received.Data.begin() + 12, received.Data.end()),
            (std::vector<uint8_t>{20, 35, 50, 20, 45, 70, 40, 55, 70, 0, 0, 0}));
}
