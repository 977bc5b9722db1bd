// The event server with real sockets on loopback: what a viewer that reads
// slowly, or goes away, costs it.
#include "tools/view/event_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

// A client socket on the server's port with a small receive buffer, so that
// a viewer that does not read stalls the server soon.
int ConnectTo(const QSView::VEventServer& server) {
  const std::string endpoint = server.LocalEndpoint();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const char request[] = "GET /events HTTP/1.1\r\nHost: test\r\n\r\n";
  if (send(fd, request, sizeof request - 1, 0) != static_cast<ssize_t>(sizeof request - 1)) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WaitForViewers(const QSView::VEventServer& server, std::size_t count) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (server.Viewers() != count) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A viewer stalled while messages are published is dropped only after a
// minute here, so that a slow machine (or a sanitizer) publishing the test's
// messages does not end the stream before the test reads it.
QSView::VServerLimits PatientLimits() {
  QSView::VServerLimits limits;
  limits.WriteTimeout = std::chrono::minutes(1);
  return limits;
}

class EventServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(Server.Listen("127.0.0.1", 0, error)) << error;
    Server.Start();
  }
  QSView::VEventServer Server{"<!doctype html>", PatientLimits()};
};

TEST_F(EventServerTest, ViewerThatDoesNotReadGetsOnlyTheNewestAfterwards) {
  const int fd = ConnectTo(Server);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitForViewers(Server, 1));
  // Far more than the socket buffers hold (the kernel lets a sender queue a
  // few megabytes), while the viewer reads nothing.
  constexpr int Published = 2000;
  const std::string padding(64 * 1024, 'x');
  for (int i = 1; i <= Published; ++i) Server.Publish("{\"n\":" + std::to_string(i) + ",\"pad\":\"" + padding + "\"}");

  std::string received;
  int count = 0, last = 0;
  bool ordered = true;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (last != Published && Clock::now() < deadline) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char chunk[65536];
    const ssize_t size = recv(fd, chunk, sizeof chunk, 0);
    if (size <= 0) break;
    received.append(chunk, static_cast<std::size_t>(size));
    for (std::size_t at; (at = received.find("data: {\"n\":")) != std::string::npos;) {
      const std::size_t end = received.find("\n\n", at);
      if (end == std::string::npos) break;
      const int n = std::stoi(received.substr(at + 11));
      ordered = ordered && n > last;
      last = n;
      ++count;
      received.erase(0, end + 2);
    }
  }
  close(fd);
  EXPECT_EQ(last, Published);
  EXPECT_TRUE(ordered);
  // Only what was in flight when the viewer stalled, and the newest.
  EXPECT_LT(count, Published / 10);
}

TEST_F(EventServerTest, ViewerThatLeavesFreesItsPlace) {
  const int first = ConnectTo(Server);
  const int second = ConnectTo(Server);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WaitForViewers(Server, 2));
  // No message is being sent: the server notices the closed connection by
  // itself.
  close(first);
  EXPECT_TRUE(WaitForViewers(Server, 1));
  close(second);
  EXPECT_TRUE(WaitForViewers(Server, 0));
}

}  // namespace
