// Peers that vanish at the TCP level, made with a packet filter in the test's
// own network namespace: a machine that is switched off (every SYN dropped),
// a server that disappears mid-stream (every packet dropped from then on),
// and, against them, a live server that merely stays silent. Seen through the
// exports (port 801) and, for the count of events, through a stream client.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "QS.h"
#include "hostile/hostile_packets.h"
#include "hostile/stream_events.h"
#include "stream/connection_bounds.h"
#include "tests/support/exports_test_support.h"
#include "testing/capture_server.h"

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace QSTesting;
using namespace QSExportsTest;
using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace QSHostile {
namespace {

// What a sanitizer build may add to a bound before the test calls it missed.
constexpr auto Slack = 3s;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs `command` through the shell; its output (both streams) goes to
// `output`. True when it exits 0.
bool Shell(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return false;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  return pclose(pipe) == 0;
}

std::string NetworkNamespace(const char* link) {
  char target[PATH_MAX] = {};
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

class Liveness : public ::testing::Test {
 protected:
  void SetUp() override {
    // The filter must only ever touch this test's own namespace.
    const std::string mine = NetworkNamespace("/proc/self/ns/net");
    if (mine.empty() || mine == NetworkNamespace("/proc/1/ns/net")) {
      GTEST_SKIP() << "not inside a private network namespace (run through netns-run.sh)";
    }
    std::string output;
    if (!Shell("nft add table inet qs_liveness && nft add chain inet qs_liveness out "
               "'{ type filter hook output priority 0; }'",
               output)) {
      GTEST_SKIP() << "no packet filter here (nftables): " << output;
    }
  }

  void TearDown() override {
    SetPreFetchMode(0);
    Disconnect();
    std::string ignored;
    Shell("nft delete table inet qs_liveness", ignored);
  }

  // Drops the packets sent to `address`; on loopback every packet passes the
  // output hook once.
  void DropPacketsTo(const std::string& address) { AddRule("ip daddr " + address + " drop"); }
  // Drops every packet from and to `address`.
  void DropEverythingOf(const std::string& address) {
    DropPacketsTo(address);
    AddRule("ip saddr " + address + " drop");
  }
  void AddRule(const std::string& rule) {
    std::string output;
    ASSERT_TRUE(Shell("nft add rule inet qs_liveness out " + rule, output)) << output;
  }
  void LetEverythingThrough() {
    std::string output;
    ASSERT_TRUE(Shell("nft flush chain inet qs_liveness out", output)) << output;
  }
};

TEST_F(Liveness, ConnectToAMachineThatDropsEverySynGivesUpWithinTheBound) {
  DropEverythingOf("127.0.9.1");
  auto start = Clock::now();
  EXPECT_FALSE(Connect("127.0.9.1"));
  EXPECT_LT(SecondsSince(start), std::chrono::duration<double>(ConnectTimeout + Slack).count());
  // As after any refused attempt.
  EXPECT_FALSE(IsConnected());
  EXPECT_FALSE(GetFrame());
  EXPECT_FALSE(Disconnect());

  // A refused port (nothing listens on 127.0.9.2) still fails at once.
  start = Clock::now();
  EXPECT_FALSE(Connect("127.0.9.2"));
  EXPECT_LT(SecondsSince(start), 1.0);

  // A name with several addresses: the silent first one is given up on, the
  // next is tried and serves.
  VCaptureServerOptions options;
  options.Address = "127.0.9.3";
  VCaptureServer server(options);
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push(ScenePacket(100));
  VClientUnderTest test;
  test.Client->SetRequestedTypes({1, 2, 3, 4, 5});
  start = Clock::now();
  test.Client->Connect(std::vector<tcp::endpoint>{{make_address("127.0.9.1"), 0}, {make_address("127.0.9.3"), 0}},
                       server.Port());
  const double took = SecondsSince(start);
  EXPECT_GE(took, std::chrono::duration<double>(ConnectTimeout).count() - 0.5);
  EXPECT_LT(took, std::chrono::duration<double>(ConnectTimeout + Slack).count());
  EXPECT_TRUE(test.Recorder->WaitFor(VRecorder::Dynamic, 1));
  EXPECT_EQ(test.Recorder->Count(VRecorder::Connected), 1u);
  EXPECT_EQ(test.Recorder->Count(VRecorder::Disconnected), 0u);
}

TEST_F(Liveness, APeerThatVanishesIsLostWithinTheBoundAndAConnectionCanBeMadeAgain) {
  VCaptureServer server(On801("127.0.9.11"));
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.Push(ScenePacket(100));
  server.Push(ScenePacket(101));
  ASSERT_TRUE(Connect("127.0.9.11"));
  ASSERT_TRUE(WaitForFrame(101));

  // A stream client on a second peer counts the events. Its connection is
  // cut while a request is in flight (the client's side is dropped first,
  // then a packet lets it send one more), the exports' connection while it
  // waits with nothing unacknowledged: the two ways a peer can vanish.
  VCaptureServerOptions options;
  options.Address = "127.0.9.12";
  options.ScriptWait = 30000ms;
  VCaptureServer other(options);
  ASSERT_TRUE(other.Start()) << other.LastError();
  other.Push(ScenePacket(100));
  VClientUnderTest test;
  test.Connect(other.Port(), "127.0.9.12");
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Dynamic, 1));
  ASSERT_TRUE(other.WaitForRequests(2, 5000ms));

  const auto cut = Clock::now();
  DropPacketsTo("127.0.9.12");
  other.Push(FramePacket(101));
  ASSERT_TRUE(test.Recorder->WaitFor(VRecorder::Dynamic, 2));
  DropEverythingOf("127.0.9.12");
  DropEverythingOf("127.0.9.11");
  const auto bound = PeerLossBound + Slack;
  EXPECT_TRUE(WaitUntil([] { return !IsConnected(); }, bound)) << "still connected";
  EXPECT_TRUE(test.Recorder->WaitFor(VRecorder::Disconnected, 1, bound));
  EXPECT_EQ(other.RequestCount(), 2u) << "the last request was sent into the void";
  std::printf("lost after %.1f s\n", SecondsSince(cut));
  EXPECT_FALSE(GetFrame());
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(test.Recorder->Count(VRecorder::Disconnected), 1u) << "a connection reports its end once";

  // The filter gone and the server back: the host connects again as after
  // any lost connection.
  LetEverythingThrough();
  server.Stop();
  VCaptureServer back(On801("127.0.9.11"));
  ASSERT_TRUE(back.Start()) << back.LastError();
  back.Push(ScenePacket(200));
  EXPECT_FALSE(Disconnect());
  ASSERT_TRUE(Connect("127.0.9.11"));
  EXPECT_TRUE(WaitForFrame(200));
}

TEST_F(Liveness, ALiveServerThatSendsNothingStaysConnected) {
  VCaptureServer server(On801("127.0.9.21", EServeBehaviour::SilentAfterHandshake));
  ASSERT_TRUE(server.Start()) << server.LastError();
  ASSERT_TRUE(Connect("127.0.9.21"));
  ASSERT_TRUE(server.WaitForRequests(1, 5000ms));
  std::this_thread::sleep_for(2 * PeerLossBound);
  EXPECT_TRUE(IsConnected());
  EXPECT_TRUE(GetFrame());
  EXPECT_EQ(server.ConnectionsClosed(), 0u);
}

}  // namespace
}  // namespace QSHostile
