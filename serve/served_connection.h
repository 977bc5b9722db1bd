// VServedConnection: one accepted connection of a server here (the
// simulator, the test capture server): blocking sends, the one request
// reader on a thread of its own, the graceful close, and a cut that any
// thread may make at any time. Each connection is an object of its own, so
// that a server can hold several.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "serve/request_packet.h"

namespace LumoraQSServe {

// Requests announcing a larger payload end the connection, unless the
// server chose another bound.
constexpr uint32_t DefaultMaxRequestPayload = 1u << 20;
// How long a connection that the server ends waits for the client to close
// its side before the server cuts it.
constexpr std::chrono::milliseconds GracefulCloseWait{500};

// What the request reader does with what it reads.
struct VRequestReading {
  uint32_t MaxPayload = DefaultMaxRequestPayload;
  // Called on the reader's thread for each request packet, decoded. A
  // request announcing a payload outside 0..MaxPayload comes as its 8 header
  // bytes (not well-formed) and is the last: the stream can no longer be
  // split into packets. Returning false ends the reading.
  std::function<bool(VRecordedRequest)> OnRequest;
  // Called on the reader's thread once, when the reading has ended (the
  // client closed its side, an error, a cut, or OnRequest said so).
  std::function<void()> OnReadEnd;
};

class VServedConnection {
 public:
  // Takes the accepted descriptor `fd` (of an IPv6 socket with `v6`);
  // `number`: 1-based, in the order the server accepted its connections.
  VServedConnection(int fd, bool v6, std::size_t number);
  // Cuts the connection without waiting, joins the reader, closes.
  ~VServedConnection();
  VServedConnection(const VServedConnection&) = delete;
  VServedConnection& operator=(const VServedConnection&) = delete;

  std::size_t Number() const { return Number_; }
  // The client's address and port, "(unknown)" when it could not be had.
  const std::string& Peer() const { return Peer_; }

  // Starts the request reader; once per connection.
  void StartReading(VRequestReading reading);
  // Writes all of `bytes`; false on an error (the client went, or a cut).
  [[nodiscard]] bool Send(const uint8_t* bytes, std::size_t size);
  [[nodiscard]] bool Send(const VBytes& bytes) { return Send(bytes.data(), bytes.size()); }

  // True once the reader has ended.
  bool ReadEnded() const;
  // Shuts both directions down at once: a blocked send or read returns.
  // Any thread, any time, also after Close().
  void Cut();
  // Ends the connection gracefully: shuts the sending side down so that
  // everything sent arrives before the end of the stream, waits at most
  // `wait` for the client to close its side (a Cut() ends the wait), then
  // cuts, joins the reader and closes the socket. Called once, by the thread
  // that serves the connection.
  void Close(std::chrono::milliseconds wait = GracefulCloseWait);

 private:
  void ReadRequests();

  // The connection's own context: the socket only borrows its services (no
  // I/O runs on it), and the connection may outlive whatever accepted it.
  boost::asio::io_context Io_;
  boost::asio::ip::tcp::socket Socket_;
  const std::size_t Number_;
  const std::string Peer_;
  VRequestReading Reading_;

  mutable std::mutex Mutex_;
  std::condition_variable Changed_;
  bool ReadEnded_ = false;
  bool Cut_ = false;
  bool Closed_ = false;  // the socket is closed: nothing may touch it
  std::thread Reader_;
};

}  // namespace LumoraQSServe
