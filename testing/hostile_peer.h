// VHostilePeer: a raw TCP server for tests that need what a well-behaved
// capture server never does: reset a connection in the middle of a packet,
// or flood packets while never reading the client's requests.
//
// It listens on a loopback address (the served-connection library's
// listener), accepts one connection and runs a script on it on its own
// thread. Its connection is a non-blocking socket of its own rather than a
// VServedConnection: every step of a script must be bounded in time and
// break the protocol on purpose. Every operation of the script is bounded
// in time and ends when Stop() is called; Stop() joins the thread, so no
// thread outlives the peer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve/listener.h"

namespace QSTesting {

using VBytes = std::vector<uint8_t>;

class VHostilePeer;

// The accepted connection, handed to the script.
class VPeerConnection {
 public:
  // Sends all bytes; false on an error, on Stop() or after `timeout`.
  bool Send(const VBytes& bytes, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Reads one request packet (8 header bytes and the payload it announces,
  // at most DefaultMaxRequestPayload, as the servers read it); false on an error, the end of the stream, Stop() or
  // after `timeout`.
  bool ReadRequest(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  // Sends `packet` again and again, never reading, until a write has made no
  // progress for `stall` (the client stopped reading: it is blocked writing a
  // request nobody reads), `maxPackets` were sent, `maxTime` passed or Stop()
  // was called. Returns the number of whole packets sent.
  std::size_t Flood(const VBytes& packet, std::size_t maxPackets, std::chrono::milliseconds maxTime,
                    std::chrono::milliseconds stall);
  bool Stalled() const { return Stalled_; }

  // Ends the connection with a reset (linger on, time 0, then close).
  void Reset();
  // Waits until the client closes its side (or resets), at most `timeout`,
  // discarding what it sends meanwhile. True when the client closed.
  bool WaitForClientClose(std::chrono::milliseconds timeout);
  // Waits, without reading, until Stop() or `timeout`.
  void Idle(std::chrono::milliseconds timeout);

  std::size_t RequestsRead() const { return Requests_; }

 private:
  friend class VHostilePeer;
  VPeerConnection(VHostilePeer& peer, int fd) : Peer_(peer), Fd_(fd) {}
  // Waits for `events` on the socket in short slices; false on Stop() or
  // when `deadline` passed.
  bool WaitFor(short events, std::chrono::steady_clock::time_point deadline);
  bool ReadExactly(uint8_t* out, std::size_t size, std::chrono::steady_clock::time_point deadline);

  VHostilePeer& Peer_;
  int Fd_;
  bool Stalled_ = false;
  std::size_t Requests_ = 0;
};

// Limits the send buffer of this process's own connections to
// `address`:`port` (the library's socket, found among the open descriptors)
// to a few kilobytes. Against a peer that reads nothing, the client's writes
// then block after some dozens of requests rather than after the megabytes
// the system's buffer tuning allows, which a sanitizer build needs seconds to
// produce: longer than the library's bound on unacknowledged data, which
// ends a connection whose peer has kept its window closed for that long.
// Returns the number of connections limited.
int LimitClientSendBuffer(const std::string& address, uint16_t port);

class VHostilePeer {
 public:
  // `receiveBuffer` > 0 sets SO_RCVBUF on the listening socket, so that a
  // peer that does not read stops the client's writes soon.
  VHostilePeer(std::string address, uint16_t port, int receiveBuffer = 0);
  ~VHostilePeer();
  VHostilePeer(const VHostilePeer&) = delete;
  VHostilePeer& operator=(const VHostilePeer&) = delete;

  // Binds and listens; false (with Error()) when that fails.
  bool Listen();
  uint16_t Port() const { return Port_; }
  std::string Error() const { return Error_; }

  // Accepts one connection (waiting at most `acceptTimeout`) and runs
  // `script` on it on the peer's thread; the connection is closed after the
  // script unless the script reset it.
  void Serve(std::function<void(VPeerConnection&)> script,
             std::chrono::milliseconds acceptTimeout = std::chrono::milliseconds(10000));
  // True once the script has returned.
  bool Finished() const { return Finished_; }
  bool WaitFinished(std::chrono::milliseconds timeout) const;
  bool Accepted() const { return Accepted_; }

  // Ends every wait of the script, closes the sockets and joins the thread.
  void Stop();
  bool Stopping() const { return Stopping_; }

 private:
  void Run(std::function<void(VPeerConnection&)> script, std::chrono::milliseconds acceptTimeout);

  const std::string Address_;
  uint16_t Port_;
  const int ReceiveBuffer_;
  LumoraQSServe::VListener Listener_;
  std::string Error_;
  std::atomic<bool> Stopping_{false};
  std::atomic<bool> Finished_{false};
  std::atomic<bool> Accepted_{false};
  std::thread Thread_;
};

}  // namespace QSTesting
