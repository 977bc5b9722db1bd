// The HTTP side of qs-view: one page at GET / and a stream of Server-Sent
// Events at GET /events; every other request is refused. Built on
// Boost.Beast, served by one I/O thread of its own.
//
// Every viewer gets the newest message only: a viewer still busy with an
// older message skips whatever was published meanwhile, so a slow browser
// costs one message in flight and nothing more.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace QSView {

class VSession;

struct VServerLimits {
  // Open event streams at once; one more is answered 503.
  std::size_t MaxViewers = 8;
  // Connections at once, viewers included; one more is closed unanswered.
  std::size_t MaxConnections = 64;
  // Bytes of a request's start line and header fields; more is a bad request.
  std::size_t MaxHeaderBytes = 8 * 1024;
  // Time a client has to send a whole request.
  std::chrono::milliseconds RequestTimeout{10000};
  // A viewer that takes no data for this long is dropped.
  std::chrono::milliseconds WriteTimeout{20000};
  // A comment line is sent to a viewer that got nothing for this long, so a
  // viewer that went away is noticed.
  std::chrono::milliseconds KeepAliveEvery{15000};
  // The time a browser waits before it opens the event stream again after
  // losing it.
  std::chrono::milliseconds ViewerRetry{1000};
};

class VEventServer {
 public:
  VEventServer(std::string page, VServerLimits limits = {});
  ~VEventServer();  // stops and joins the I/O thread
  VEventServer(const VEventServer&) = delete;
  VEventServer& operator=(const VEventServer&) = delete;

  // Listens on `address` (a numeric address or a host name) and `port` (0: a
  // free one). False with `error` set when that is not possible.
  bool Listen(const std::string& address, uint16_t port, std::string& error);
  // Serves on a listening TCP socket handed in by the process that started
  // this one (as socket activation does). False with `error` set when `fd`
  // is not a listening TCP socket.
  bool Adopt(int fd, std::string& error);
  // Where it listens: "ADDRESS:PORT", an IPv6 address in brackets.
  std::string LocalEndpoint() const;

  // Starts the I/O thread; Stop closes every connection and joins it.
  void Start();
  void Stop();

  // Gives every viewer `message` (one line of text, JSON here) as its next
  // event. Any thread.
  void Publish(const std::string& message);

  // Open event streams.
  std::size_t Viewers() const;

 private:
  class VImpl;
  friend class VSession;
  std::unique_ptr<VImpl> Impl;
};

}  // namespace QSView
