// The stream session as qs-record uses it: each packet's bytes exactly as
// the server sent them, and an observer that ends the loop.
#include "stream/stream_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "testing/capture_server.h"
#include "serve/wire_encoder.h"

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace LumoraQSStream;

namespace {

// Keeps every packet's bytes; ends the session after `Wanted` data packets.
class VKeeper : public IStreamSessionObserver {
 public:
  bool OnHandshake(const VReceivedPacket& packet) override {
    Packets.push_back(packet.Bytes);
    return true;
  }
  bool OnPacket(const VReceivedPacket& packet, const VPacketDelivery& delivery) override {
    Packets.push_back(packet.Bytes);
    if (delivery.Dynamic) Frames.push_back(delivery.Dynamic->FrameNumber);
    return Frames.size() < Wanted;
  }
  std::size_t Wanted = 2;
  std::vector<VBytes> Packets;
  std::vector<int32_t> Frames;
};

TEST(StreamSession, ObserverSeesEachPacketAsSentAndEndsTheLoop) {
  const VBytes handshake = EncodePacket({EncodeObjectTypeList(std::set<int32_t>{FrameNumber})});
  const VBytes first = EncodePacket({EncodeStreamInfo(7), EncodeFrameNumber(7)});
  const VBytes second = EncodePacket({EncodeFrameNumber(8)});
  QSTesting::VCaptureServerOptions options;
  options.HandshakeBytes = handshake;
  options.Behaviour = QSTesting::EServeBehaviour::AnswerEachRequest;
  options.ScriptWait = 3000ms;
  QSTesting::VCaptureServer server(options);
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push({first, second, EncodePacket({EncodeFrameNumber(9)})});

  VStreamSession session(VStreamSession::ERawBytes::Keep);
  boost::system::error_code error;
  const auto endpoints = session.Resolve("127.0.0.1", error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_FALSE(session.Connect(endpoints, server.Port()));
  VKeeper keeper;
  const VReadResult end = session.Run(keeper);
  session.Close();

  EXPECT_EQ(end.Reason, EEndReason::Stopped);
  EXPECT_TRUE(session.HandshakeRead());
  EXPECT_EQ(keeper.Packets, (std::vector<VBytes>{handshake, first, second}));
  EXPECT_EQ(keeper.Frames, (std::vector<int32_t>{7, 8}));
  ASSERT_TRUE(server.WaitForClosedConnections(1, 10s));
  EXPECT_EQ(server.RequestCount(), 2u) << "no request after the observer ended the loop";
}

}  // namespace
