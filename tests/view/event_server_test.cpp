// The event server with real sockets on loopback: what a viewer that reads
// slowly, or goes away, costs it; which requests it refuses; and what clients
// that hold connections without finishing a request cost it.
#include "tools/qs-view/event_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testing/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

// A client socket on the server's port (on 127.0.0.1, or ::1 when the
// server listens there) with a small receive buffer, so that a viewer that
// does not read stalls the server soon, from the IPv4 loopback address
// `from` when given; -1 when it cannot connect or send `request`.
int Open(const QSView::VEventServer& server, const std::string& request, const char* from = nullptr) {
  const std::string endpoint = server.LocalEndpoint();
  const uint16_t port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1))));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 address6{};
  address6.sin6_family = AF_INET6;
  address6.sin6_port = port;
  address6.sin6_addr = in6addr_loopback;
  const bool v6 = endpoint.front() == '[';
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  if (from && (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
               bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
    close(fd);
    return -1;
  }
  if (connect(fd, v6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address),
              v6 ? sizeof address6 : sizeof address) != 0 ||
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectTo(const QSView::VEventServer& server) {
  return Open(server, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

// What arrives on `fd` until the server closes it, `until` is read, or 10 s
// pass; `closed` tells whether it was closed.
std::string Receive(int fd, const std::string& until = "", bool* closed = nullptr) {
  std::string received;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline && (until.empty() || received.find(until) == std::string::npos)) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char chunk[65536];
    const ssize_t size = recv(fd, chunk, sizeof chunk, 0);
    if (size <= 0) {
      if (closed) *closed = true;
      break;
    }
    received.append(chunk, static_cast<std::size_t>(size));
  }
  return received;
}

// The status line of the server's answer to `request`, after which it closes
// the connection ("" when it does not).
std::string StatusOf(const QSView::VEventServer& server, const std::string& request) {
  const int fd = Open(server, request);
  if (fd < 0) return "no connection";
  bool closed = false;
  const std::string answer = Receive(fd, "", &closed);
  close(fd);
  return closed ? answer.substr(0, answer.find('\r')) : "";
}

bool WaitForViewers(const QSView::VEventServer& server, std::size_t count) {
  return QSTesting::WaitUntil([&] { return server.Viewers() == count; });
}

// A viewer stalled while messages are published is dropped only after five
// minutes here, so that a slow machine (or a sanitizer on a loaded one, which
// took over a minute) publishing the test's messages does not end the stream
// before the test reads it.
QSView::VServerLimits PatientLimits() {
  QSView::VServerLimits limits;
  limits.WriteTimeout = std::chrono::minutes(5);
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

TEST_F(EventServerTest, AnswersOnlyRequestsForItsOwnNamesFromItsOwnPage) {
  ASSERT_TRUE(Server.AllowHost("View.Example"));
  const std::string port = Server.LocalEndpoint().substr(Server.LocalEndpoint().rfind(':'));
  // DNS rebinding: another site's page under its own name, resolved to here.
  EXPECT_EQ(StatusOf(Server, "GET /events HTTP/1.1\r\nHost: evil.example" + port +
                                 "\r\nOrigin: http://evil.example" + port + "\r\n\r\n"),
            "HTTP/1.1 421 Misdirected Request");
  EXPECT_EQ(StatusOf(Server, "GET / HTTP/1.1\r\nHost: 127.0.0.2\r\nConnection: close\r\n\r\n"),
            "HTTP/1.1 421 Misdirected Request");
  EXPECT_EQ(StatusOf(Server, "GET / HTTP/1.0\r\n\r\n"), "HTTP/1.1 400 Bad Request");
  // Its own name, with another site's page asking.
  EXPECT_EQ(StatusOf(Server, "GET /events HTTP/1.1\r\nHost: 127.0.0.1" + port +
                                 "\r\nOrigin: http://evil.example" + port + "\r\n\r\n"),
            "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(StatusOf(Server, "GET / HTTP/1.1\r\nHost: 127.0.0.1" + port + "\r\nOrigin: null\r\n\r\n"),
            "HTTP/1.1 403 Forbidden");
  for (const std::string& host : std::vector<std::string>{"127.0.0.1", "127.0.0.1" + port, "localhost", "LocalHost" + port,
                                  "view.example", "view.example:8080"}) {
    for (const std::string& origin : std::vector<std::string>{"", "Origin: http://" + host + "\r\n"}) {
      EXPECT_EQ(StatusOf(Server, "GET / HTTP/1.1\r\nHost: " + host + "\r\n" + origin + "Connection: close\r\n\r\n"),
                "HTTP/1.1 200 OK")
          << host << " " << origin;
    }
  }
  EXPECT_FALSE(Server.AllowHost("bad name"));
}

TEST(EventServerIPv6, AnswersItsAddressInBrackets) {
  QSView::VEventServer server{"<!doctype html>"};
  std::string error;
  if (!server.Listen("::1", 0, error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
  server.Start();
  const std::string ok = "HTTP/1.1 200 OK", misdirected = "HTTP/1.1 421 Misdirected Request";
  for (const auto& [host, status] : std::vector<std::pair<std::string, std::string>>{
           {"[::1]", ok}, {server.LocalEndpoint(), ok}, {"localhost", ok}, {"::1", misdirected},
           {"127.0.0.1", misdirected}}) {
    EXPECT_EQ(StatusOf(server, "GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n"), status)
        << host;
  }
}

// Limits short enough for a test that waits for a deadline to pass.
QSView::VServerLimits ShortLimits() {
  QSView::VServerLimits limits = PatientLimits();
  limits.RequestTimeout = std::chrono::milliseconds(300);
  limits.CloseTimeout = std::chrono::milliseconds(300);
  return limits;
}

TEST(EventServerDeadlines, BytesThatTrickleInDoNotExtendThem) {
  QSView::VEventServer server{"<!doctype html>", ShortLimits()};
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 0, error)) << error;
  server.Start();
  // A request that never ends, and a connection that keeps sending after its
  // answer: each is closed although a byte comes every 50 ms.
  for (const bool answered : {false, true}) {
    const int fd = Open(server, answered ? "GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" : "GET / HTTP/1.1\r\n");
    ASSERT_GE(fd, 0);
    if (answered) {
      ASSERT_NE(Receive(fd, "not found\n").find("404"), std::string::npos);
    }
    // Once the server has closed the connection, a byte sent is answered
    // with a reset and the next one cannot be sent. Bounded: 200 bytes, 10 s.
    bool closed = false;
    for (int sent = 0; sent < 200 && !closed; ++sent) {
      closed = send(fd, "x", 1, MSG_NOSIGNAL) != 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    close(fd);
    EXPECT_TRUE(closed) << (answered ? "closing connection" : "request");
  }
}

TEST_F(EventServerTest, ViewerIsServedWhileOthersHoldConnectionsIdle) {
  // Connections that send a few bytes of a request and no more, from four
  // other addresses: far more than are kept for one peer or at all.
  std::vector<int> idle;
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    for (int i = 0; i < 16; ++i) {
      idle.push_back(Open(Server, "GET / HTTP/1.1\r\nHo", from));
      ASSERT_GE(idle.back(), 0);
    }
  }
  const int page = Open(Server, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  ASSERT_GE(page, 0);
  EXPECT_NE(Receive(page, "<!doctype html>").find("<!doctype html>"), std::string::npos);
  close(page);
  const int viewer = ConnectTo(Server);
  ASSERT_GE(viewer, 0);
  Server.Publish("{\"n\":1}");
  EXPECT_NE(Receive(viewer, "data: {\"n\":1}").find("data: {\"n\":1}"), std::string::npos);
  close(viewer);
  // The oldest made room for the others.
  bool closed = false;
  Receive(idle.front(), "", &closed);
  EXPECT_TRUE(closed);
  for (const int fd : idle) close(fd);
}

}  // namespace
