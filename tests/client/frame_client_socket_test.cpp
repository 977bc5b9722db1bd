// The frame client over a real loopback connection to the capture-server
// peer: frames flowing into GetFrames, requested types reaching the server,
// failed and ended connections, and destruction while the server streams.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "client/frame_client.h"
#include "serve/wire_encoder.h"
#include "testing/capture_server.h"
#include "testing/frame_client_probe.h"
#include "testing/wait.h"

namespace {

using namespace std::chrono_literals;
using QSTesting::EServeBehaviour;
using LumoraQSServe::VBytes;
using QSTesting::VCaptureServer;
using QSTesting::VCaptureServerOptions;
using Clock = std::chrono::steady_clock;

std::shared_ptr<VQSClient> NewClient() {
  return std::static_pointer_cast<VQSClient>(MakeSharedFrameClient(CreateFrameClient()));
}

VBytes ScenePacket(const std::string& device) {
  LumoraQSStream::VDeviceInfo info;
  info.DeviceID = 1;
  info.Name = device;
  return LumoraQSServe::EncodePacket(
      {LumoraQSServe::EncodeStreamInfo(99), LumoraQSServe::EncodeDeviceInfo(info)});
}

VBytes FramePacket(int32_t number, int markers = 4, bool withVideo = false) {
  LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerPosition> positions(static_cast<std::size_t>(markers),
                                                                        LumoraQSStream::VMarkerPosition{});
  for (int i = 0; i < markers; ++i) {
    positions[i] = {};
    positions[i].SubjectID = 1;
    positions[i].MarkerID = i + 1;
    positions[i].Position = {number * 1.0, i * 1.0, 0.5};
  }
  std::vector<VBytes> objects = {LumoraQSServe::EncodeFrameNumber(number),
                                 LumoraQSServe::EncodeMarkerPositions(positions)};
  if (withVideo) {
    LumoraQSStream::VVideoFrame video;
    video.Width = 2;
    video.Height = 2;
    video.Format = 7;
    video.Data.assign(12, static_cast<uint8_t>(number));
    objects.push_back(LumoraQSServe::EncodeVideoFrame(video));
  }
  return LumoraQSServe::EncodePacket(objects);
}

std::unique_ptr<VCaptureServer> StartServer(VCaptureServerOptions options) {
  auto server = std::make_unique<VCaptureServer>(std::move(options));
  if (!server->Start()) return nullptr;
  return server;
}

using QSTesting::WaitUntil;
using QSTesting::Probe;

TEST(FrameClientSocket, FramesFlowIntoGetFramesWithTheirScene) {
  VCaptureServerOptions options;
  options.Behaviour = EServeBehaviour::StreamScript;
  options.MaxConnectionTime = 20000ms;
  auto server = StartServer(options);
  ASSERT_NE(server, nullptr);

  auto client = NewClient();
  client->SetMaxQueuedFrames(1000);
  client->Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(client->IsConnected());
  // Scripted only now: a script that was there before the connection could
  // be streamed out and the connection closed by the server before
  // IsConnected is asked.
  std::vector<VBytes> script = {ScenePacket("Plate1")};
  constexpr int32_t Frames = 50;
  for (int32_t n = 1; n <= Frames; ++n) script.push_back(FramePacket(n));
  server->Push(script);

  std::vector<int32_t> numbers;
  std::vector<VFrameRecord> records;
  const auto deadline = Clock::now() + 10s;
  while ((numbers.empty() || numbers.back() != Frames) && Clock::now() < deadline) {
    if (!client->WaitForFrames(records, 200)) continue;
    for (const VFrameRecord& record : records) {
      numbers.push_back(record.FrameNumber);
      EXPECT_EQ(record.StreamValue, 99);
      ASSERT_EQ(record.DeviceInfos().size(), 1u);
      EXPECT_EQ(record.DeviceInfos()[0].Name, "Plate1");
      ASSERT_EQ(record.MarkerPositions().size(), 4u);
      EXPECT_DOUBLE_EQ(record.MarkerPositions()[3].Position[0], record.FrameNumber * 1.0);
      EXPECT_DOUBLE_EQ(record.MarkerPositions()[3].Position[1], 3.0);
    }
  }
  ASSERT_EQ(numbers.size(), static_cast<std::size_t>(Frames));
  for (int32_t n = 1; n <= Frames; ++n) EXPECT_EQ(numbers[n - 1], n);
}

TEST(FrameClientSocket, RequestedTypesReachTheServer) {
  VCaptureServerOptions options;
  options.Behaviour = EServeBehaviour::StreamScript;
  options.MaxConnectionTime = 20000ms;
  options.ScriptWait = 2000ms;  // the packets below come within a moment
  auto server = StartServer(options);
  ASSERT_NE(server, nullptr);

  auto client = NewClient();
  client->Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(client->IsConnected());
  for (int32_t type = 1; type <= 5; ++type) client->SetObjectTypeEnabled(type, true);
  client->SetObjectTypeEnabled(6, false);  // absent: the set goes out unchanged
  // Each packet read is followed by the next request.
  for (int32_t n = 1; n <= 3; ++n) server->Push(FramePacket(n));

  const bool sent = WaitUntil(
      [&] {
        for (const auto& request : server->Requests()) {
          if (request.HasTypeList && request.Types == std::set<int32_t>({1, 2, 3, 4, 5})) {
            return true;
          }
        }
        return false;
      },
      10000ms);
  EXPECT_TRUE(sent);
  for (const auto& request : server->Requests()) EXPECT_TRUE(request.WellFormed);
}

TEST(FrameClientSocket, RefusedConnectionLeavesTheClientDisconnected) {
  uint16_t port = 0;
  {
    auto server = StartServer({});
    ASSERT_NE(server, nullptr);
    port = server->Port();
    server->Stop();  // nobody listens there any more
  }
  auto client = NewClient();
  client->Connect("127.0.0.1", port);
  EXPECT_FALSE(client->IsConnected());
  std::vector<VFrameRecord> records;
  EXPECT_FALSE(client->WaitForFrames(records, 0));
}

TEST(FrameClientSocket, EndedConnectionKeepsItsQueuedFrames) {
  VCaptureServerOptions options;
  options.Behaviour = EServeBehaviour::StreamScript;
  options.CloseWhenScriptExhausted = true;
  auto server = StartServer(options);
  ASSERT_NE(server, nullptr);
  for (int32_t n = 1; n <= 3; ++n) server->Push(FramePacket(n));

  auto client = NewClient();
  client->SetMaxQueuedFrames(10);
  client->Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(WaitUntil([&] { return !client->IsConnected(); }, 10000ms));
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  std::vector<int32_t> numbers;
  for (const VFrameRecord& record : records) numbers.push_back(record.FrameNumber);
  EXPECT_EQ(numbers, std::vector<int32_t>({1, 2, 3}));
  // Nothing more will come.
  EXPECT_FALSE(client->WaitForFrames(records, 100));
}

// Destroys frame clients while the server streams as fast as the client
// reads, so that destruction meets a receiving thread in the middle of
// delivering events. The faults this looks for (an event reaching a partly
// destroyed frame client, a thread left running) show as crashes, hangs or
// sanitizer reports: run it under the thread and address sanitizers too.
TEST(FrameClientSocket, DestroyWhileStreamingRepeatedly) {
  constexpr int Rounds = 30;
  int midStream = 0;
  for (int round = 0; round < Rounds; ++round) {
    VCaptureServerOptions options;
    options.Behaviour = EServeBehaviour::StreamScript;
    options.MaxConnectionTime = 20000ms;
    auto server = StartServer(options);
    ASSERT_NE(server, nullptr);
    server->Push(ScenePacket("Plate"));
    std::vector<VBytes> packets;
    for (int32_t n = 1; n <= 3000; ++n) packets.push_back(FramePacket(n, 16));
    server->Push(packets);

    auto client = NewClient();
    client->SetMaxQueuedFrames(static_cast<uint32_t>(round % 4));  // 0 drops everything
    client->Connect("127.0.0.1", server->Port());
    ASSERT_TRUE(client->IsConnected()) << "round " << round;
    if (round % 3 != 0) {
      // Let the stream run for a moment, taking some frames.
      std::vector<VFrameRecord> records;
      client->WaitForFrames(records, 20);
      client->GetFrames(records);
    }
    if (server->ScriptLeft() > 0) ++midStream;
    client.reset();  // joins the receiving thread before anything else goes
    // The server may now be blocked sending into the closed connection (see
    // DeferredDestructionWhileStreaming); its Stop shuts that connection down.
  }
  // Most rounds must really have destroyed the client in mid-stream.
  EXPECT_GE(midStream, Rounds / 2);
}

// A record holding a video frame handle keeps a destroyed frame client
// alive, connection included; releasing the record on another thread while
// the server keeps answering completes the destruction, which the server
// sees as the end of the connection.
//
// The server answers each request with one packet here: a server that sends
// unasked can find the closed connection at a zero receive window (the
// receiving thread drains the socket after the shutdown, and a socket shut
// down for reading sends no window update), and then stays blocked in its
// send until the orphaned connection times out.
TEST(FrameClientSocket, DeferredDestructionWhileStreaming) {
  constexpr int Rounds = 10;
  for (int round = 0; round < Rounds; ++round) {
    VCaptureServerOptions options;
    options.Behaviour = EServeBehaviour::AnswerEachRequest;
    options.MaxConnectionTime = 20000ms;
    auto server = StartServer(options);
    ASSERT_NE(server, nullptr);
    std::vector<VBytes> packets;
    for (int32_t n = 1; n <= 2000; ++n) packets.push_back(FramePacket(n, 4, true));
    server->Push(packets);

    auto client = NewClient();
    client->SetObjectTypeEnabled(22, true);
    client->Connect("127.0.0.1", server->Port());
    ASSERT_TRUE(client->IsConnected());
    std::vector<VFrameRecord> records;
    ASSERT_TRUE(client->WaitForFrames(records, 10000));
    ASSERT_EQ(records.at(0).VideoFrames.size(), 1u);
    const auto* video = records[0].VideoFrames[0].Frame();
    EXPECT_EQ(video->Data.size(), 12u);

    VQSClient* raw = client.get();
    client.reset();  // Destroy is deferred: the record still refers to a frame
    EXPECT_TRUE(Probe(raw).IsDestroyPending());
    EXPECT_EQ(server->ConnectionsClosed(), 0u);
    std::thread([&records] { records.clear(); }).join();
    EXPECT_TRUE(server->WaitForClosedConnections(1, 10000ms)) << "round " << round;
  }
}

}  // namespace
