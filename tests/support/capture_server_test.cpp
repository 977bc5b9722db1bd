// The capture-server peer against a plain Boost.Asio client on loopback.
#include <gtest/gtest.h>
#include <poll.h>

#include <boost/asio.hpp>
#include <chrono>
#include <future>
#include <optional>

#include "serve/wire_encoder.h"
#include "testing/capture_server.h"

namespace {

using namespace LumoraQSServe;
using namespace QSTesting;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;

constexpr auto kWait = 5000ms;  // upper bound of every wait; reached only on failure

// A blocking client whose every read is bounded by a timeout.
class VTestClient {
 public:
  explicit VTestClient(uint16_t port) {
    Socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), Error_);
  }
  bool Connected() const { return !Error_; }

  bool Send(const VBytes& bytes) {
    boost::system::error_code ec;
    asio::write(Socket_, asio::buffer(bytes), ec);
    return !ec;
  }

  // Exactly `count` bytes, or nothing when the stream ended or the time ran out.
  std::optional<VBytes> Read(std::size_t count, std::chrono::milliseconds timeout = kWait) {
    VBytes bytes(count);
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd{Socket_.native_handle(), POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      boost::system::error_code ec;
      const std::size_t n = Socket_.read_some(asio::buffer(bytes.data() + got, count - got), ec);
      if (ec) return std::nullopt;
      got += n;
    }
    return bytes;
  }

  std::optional<VBytes> ReadPacket(std::chrono::milliseconds timeout = kWait) {
    auto header = Read(8, timeout);
    if (!header) return std::nullopt;
    const uint32_t length = (*header)[4] | (*header)[5] << 8 | (*header)[6] << 16 | static_cast<uint32_t>((*header)[7]) << 24;
    auto payload = Read(length, timeout);
    if (!payload) return std::nullopt;
    header->insert(header->end(), payload->begin(), payload->end());
    return header;
  }

  // True when the server ended the stream (orderly close or reset).
  bool SeesEnd(std::chrono::milliseconds timeout = kWait) {
    pollfd fd{Socket_.native_handle(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return false;
    uint8_t byte = 0;
    boost::system::error_code ec;
    Socket_.read_some(asio::buffer(&byte, 1), ec);
    return static_cast<bool>(ec);
  }

 private:
  asio::io_context Io_;
  tcp::socket Socket_{Io_};
  boost::system::error_code Error_;
};

VCaptureServerOptions Options(EServeBehaviour behaviour) {
  VCaptureServerOptions options;
  options.Behaviour = behaviour;
  options.ScriptWait = 2000ms;
  options.MaxConnectionTime = 20000ms;
  return options;
}

TEST(CaptureServer, HandshakeRequestAndScriptedAnswer) {
  auto options = Options(EServeBehaviour::AnswerEachRequest);
  options.OfferedTypes = {1, 2, 3, 22};
  VCaptureServer server(options);
  ASSERT_TRUE(server.Start()) << server.LastError();
  ASSERT_NE(server.Port(), 0);
  const VBytes answer = EncodePacket({EncodeFrameNumber(7)});
  server.Push(answer);

  VTestClient client(server.Port());
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(client.ReadPacket(), EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 2, 3, 22})}));

  const VBytes request = EncodeRequest(std::set<int32_t>{1, 2, 3, 4, 5}, uint8_t{0});
  ASSERT_TRUE(client.Send(request));
  ASSERT_TRUE(server.WaitForRequests(1, kWait));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Connection, 1u);
  EXPECT_EQ(requests[0].Bytes, request);
  EXPECT_TRUE(requests[0].WellFormed);
  EXPECT_EQ(requests[0].Types, (std::set<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(requests[0].HasStreamMode);
  EXPECT_EQ(requests[0].StreamMode, 0);

  EXPECT_EQ(client.ReadPacket(), answer);
  EXPECT_EQ(server.ScriptLeft(), 0u);
  EXPECT_EQ(server.ConnectionsAccepted(), 1u);
}

TEST(CaptureServer, AnswersOnlyAfterARequestAndWaitsForLatePushes) {
  VCaptureServer server(Options(EServeBehaviour::AnswerEachRequest));
  ASSERT_TRUE(server.Start()) << server.LastError();
  const VBytes first = EncodePacket({EncodeFrameNumber(1)});
  const VBytes second = EncodePacket({EncodeFrameNumber(2)});
  server.Push(first);

  VTestClient client(server.Port());
  ASSERT_TRUE(client.ReadPacket());
  // No request yet: the scripted packet stays in the script.
  EXPECT_FALSE(client.Read(1, 200ms));
  EXPECT_EQ(server.ScriptLeft(), 1u);

  ASSERT_TRUE(client.Send(EncodeRequest(std::nullopt, uint8_t{0})));
  EXPECT_EQ(client.ReadPacket(), first);
  // The second request finds the script empty; a push while it waits is sent.
  ASSERT_TRUE(client.Send(EncodeRequest(std::nullopt, uint8_t{0})));
  ASSERT_TRUE(server.WaitForRequests(2, kWait));
  server.Push(second);
  EXPECT_EQ(client.ReadPacket(), second);
}

TEST(CaptureServer, StopReturnsWhileASilentClientIsConnected) {
  VCaptureServer server(Options(EServeBehaviour::AnswerEachRequest));
  ASSERT_TRUE(server.Start()) << server.LastError();
  VTestClient client(server.Port());
  ASSERT_TRUE(client.ReadPacket());
  ASSERT_TRUE(server.WaitForConnections(1, kWait));

  auto stopped = std::async(std::launch::async, [&] { server.Stop(); });
  ASSERT_EQ(stopped.wait_for(kWait), std::future_status::ready) << "Stop() blocked";
  EXPECT_TRUE(client.SeesEnd());
  EXPECT_EQ(server.ConnectionsClosed(), 1u);
  server.Stop();  // a second Stop is harmless
}

TEST(CaptureServer, StopReturnsWhileBlockedInAccept) {
  VCaptureServer server(Options(EServeBehaviour::AnswerEachRequest));
  ASSERT_TRUE(server.Start()) << server.LastError();
  auto stopped = std::async(std::launch::async, [&] { server.Stop(); });
  ASSERT_EQ(stopped.wait_for(kWait), std::future_status::ready) << "Stop() blocked";
  EXPECT_EQ(server.ConnectionsAccepted(), 0u);
}

TEST(CaptureServer, StreamsTheScriptWithoutRequests) {
  VCaptureServer server(Options(EServeBehaviour::StreamScript));
  const std::vector<VBytes> packets{EncodePacket({EncodeFrameNumber(10)}), EncodePacket({EncodeFrameNumber(11)}),
                                    EncodePacket({EncodeStreamInfo(99)})};
  server.Push(packets);
  ASSERT_TRUE(server.Start()) << server.LastError();
  VTestClient client(server.Port());
  ASSERT_TRUE(client.ReadPacket());  // handshake
  for (const VBytes& packet : packets) EXPECT_EQ(client.ReadPacket(), packet);
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(CaptureServer, SilentServerStillRecordsRequests) {
  VCaptureServer server(Options(EServeBehaviour::SilentAfterHandshake));
  server.Push(EncodePacket({EncodeFrameNumber(1)}));
  ASSERT_TRUE(server.Start()) << server.LastError();
  VTestClient client(server.Port());
  ASSERT_TRUE(client.ReadPacket());
  ASSERT_TRUE(client.Send(EncodeRequest(std::set<int32_t>{5}, uint8_t{0})));
  ASSERT_TRUE(client.Send(EncodeRequest(std::nullopt, uint8_t{2})));
  ASSERT_TRUE(server.WaitForRequests(2, kWait));
  const auto requests = server.Requests();
  EXPECT_EQ(requests[0].Types, std::set<int32_t>{5});
  EXPECT_FALSE(requests[1].HasTypeList);
  EXPECT_EQ(requests[1].StreamMode, 2);
  EXPECT_FALSE(client.Read(1, 200ms));
  EXPECT_EQ(server.ScriptLeft(), 1u);
}

TEST(CaptureServer, ClosesRightAfterAcceptAndServesTheNextConnection) {
  VCaptureServer server(Options(EServeBehaviour::CloseAfterAccept));
  ASSERT_TRUE(server.Start()) << server.LastError();
  for (std::size_t n = 1; n <= 2; ++n) {
    VTestClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    EXPECT_TRUE(client.SeesEnd());
    EXPECT_TRUE(server.WaitForClosedConnections(n, kWait));
  }
  EXPECT_EQ(server.ConnectionsAccepted(), 2u);
}

TEST(CaptureServer, SendsOneByteAtATime) {
  auto options = Options(EServeBehaviour::StreamScript);
  options.OneByteAtATime = true;
  options.ByteGap = 200us;
  options.HandshakeBytes = EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 5})});
  const VBytes packet = EncodePacket({EncodeDeviceInfo({3, 4, "Plate"})});
  VCaptureServer server(options);
  server.Push(packet);
  ASSERT_TRUE(server.Start()) << server.LastError();
  VTestClient client(server.Port());
  EXPECT_EQ(client.ReadPacket(), *options.HandshakeBytes);
  EXPECT_EQ(client.ReadPacket(), packet);
}

TEST(CaptureServer, ChosenHandshakeBytesAndCloseWhenTheScriptIsExhausted) {
  auto options = Options(EServeBehaviour::AnswerEachRequest);
  options.CloseWhenScriptExhausted = true;
  options.HandshakeBytes = EncodePacketWith(0x1A2B3C4E, {EncodeFrameNumber(1)});
  VCaptureServer server(options);
  const VBytes only = EncodePacket({EncodeFrameNumber(3)});
  server.Push(only);
  ASSERT_TRUE(server.Start()) << server.LastError();

  VTestClient client(server.Port());
  EXPECT_EQ(client.ReadPacket(), *options.HandshakeBytes);
  ASSERT_TRUE(client.Send(EncodeRequest(std::nullopt, uint8_t{0})));
  EXPECT_EQ(client.ReadPacket(), only);
  ASSERT_TRUE(client.Send(EncodeRequest(std::nullopt, uint8_t{0})));
  EXPECT_TRUE(client.SeesEnd());
  EXPECT_TRUE(server.WaitForClosedConnections(1, kWait));
  EXPECT_EQ(server.RequestCount(), 2u);
}

TEST(CaptureServer, RequestWithAnImpossibleLengthEndsTheConnection) {
  VCaptureServer server(Options(EServeBehaviour::SilentAfterHandshake));
  ASSERT_TRUE(server.Start()) << server.LastError();
  VTestClient client(server.Port());
  ASSERT_TRUE(client.ReadPacket());
  ASSERT_TRUE(client.Send(EncodePacketWith(LumoraQSStream::PacketMagic, {}, -4)));
  ASSERT_TRUE(server.WaitForRequests(1, kWait));
  EXPECT_FALSE(server.Requests()[0].WellFormed);
  EXPECT_EQ(server.Requests()[0].PayloadLength, -4);
  EXPECT_TRUE(client.SeesEnd());
}

TEST(CaptureServer, RefusesNonLoopbackAddressesAndASecondStart) {
  auto options = Options(EServeBehaviour::AnswerEachRequest);
  options.Address = "0.0.0.0";
  VCaptureServer wildcard(options);
  EXPECT_FALSE(wildcard.Start());
  EXPECT_NE(wildcard.LastError().find("loopback"), std::string::npos);

  VCaptureServer server(Options(EServeBehaviour::AnswerEachRequest));
  ASSERT_TRUE(server.Start()) << server.LastError();
  EXPECT_FALSE(server.Start());
}

}  // namespace
