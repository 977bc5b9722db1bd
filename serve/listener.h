// VListener: the listening socket of every server here (the simulator, the
// test peers, the end-to-end benchmark's ping-pong): bind and listen, accept
// one connection at a time, and let another thread end a blocked accept.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace LumoraQSServe {

class VListener {
 public:
  VListener() = default;
  ~VListener() { Close(); }
  VListener(const VListener&) = delete;
  VListener& operator=(const VListener&) = delete;

  // Opens `address`:`port` (port 0: an ephemeral port), with address reuse,
  // and starts listening. With `loopbackOnly`, any other address is refused.
  // A positive `receiveBuffer` is set before listening, so that accepted
  // sockets start with it. On failure returns false with a message in
  // `error`.
  bool Open(const std::string& address, uint16_t port, bool loopbackOnly, std::string& error,
            int receiveBuffer = 0);
  // The port actually bound.
  uint16_t Port() const { return Port_; }
  bool IsV6() const { return V6_; }

  // Waits for the next connection, at most `timeout` when it is not
  // negative, and returns its descriptor with TCP_NODELAY set; the caller
  // owns it. -1 on timeout, on failure and once Wake() was called.
  int Accept(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));
  // Ends an Accept blocked on another thread, and fails every later one at
  // once (a shutdown of the listening socket, which wakes a blocked accept
  // where a close would not).
  void Wake();
  // Closes the listening socket; only once no thread is in Accept.
  void Close();

 private:
  std::atomic<int> Fd_{-1};
  uint16_t Port_ = 0;
  bool V6_ = false;
};

}  // namespace LumoraQSServe
