// The HTTP side of qs-view: one page at GET / and a stream of Server-Sent
// Events at GET /events; every other request is refused. Built on
// Boost.Beast, served by one I/O thread of its own.
//
// Every viewer gets the newest message only: a viewer still busy with an
// older message skips whatever was published meanwhile, so a slow browser
// costs one message in flight and nothing more.
//
// A request is served only when its Host names this server (see
// host_check.h) and it comes from no other page's origin. A connection that
// is not an event stream has a fixed time for each request and a fixed time
// to close; such connections are capped per peer address and in total, and
// one more makes room by dropping the oldest of them (of that peer when its
// own share is full), so clients that open connections and hold them idle
// cannot keep a new viewer out: they only lose their own oldest ones.
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
  // Connections that are not event streams (reading a request, answering
  // it, or closing) at once, in total and from one peer address. One more
  // drops the oldest of them (by the time its current request began) to
  // make room.
  std::size_t MaxRequestConnections = 32;
  std::size_t MaxRequestConnectionsPerPeer = 8;
  // Bytes of a request's start line and header fields; more is a bad request.
  std::size_t MaxHeaderBytes = 8 * 1024;
  // Time a client has to send a whole request, from the moment the server
  // waits for it; bytes that trickle in do not extend it.
  std::chrono::milliseconds RequestTimeout{10000};
  // Time a connection closed after its last response may still send (its
  // data is read and dropped, so that the response is not cut off by a
  // reset) before it is closed for good; bytes do not extend it either.
  std::chrono::milliseconds CloseTimeout{2000};
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

  // Allows `name` (a host name or address) in a request's Host beside the
  // address a connection arrived on, and localhost on loopback; before
  // Start. False for a name that cannot be one, or one too many.
  [[nodiscard]] bool AllowHost(const std::string& name);

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
