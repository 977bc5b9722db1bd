// VAcceptor: the listening side of a server here: a listener and the thread
// that accepts on it, handing each accepted connection to the server as a
// VServedConnection. The handler runs on the accept thread: it may serve the
// connection right there (connections one after another) or hand it on and
// return. Stop() always returns promptly and joins the thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serve/listener.h"
#include "serve/served_connection.h"

namespace LumoraQSServe {

class VAcceptor {
 public:
  using VHandler = std::function<void(std::unique_ptr<VServedConnection>)>;

  VAcceptor() = default;
  ~VAcceptor() { Stop(); }
  VAcceptor(const VAcceptor&) = delete;
  VAcceptor& operator=(const VAcceptor&) = delete;

  // Binds `address`:`port` (0: an ephemeral port) and listens; see
  // VListener::Open. False with a message in `error`.
  [[nodiscard]] bool Open(const std::string& address, uint16_t port, bool loopbackOnly, std::string& error);
  // The port actually bound.
  uint16_t Port() const { return Listener_.Port(); }

  // Starts the accept thread; every connection goes to `handler`, numbered
  // from 1. Once, after a successful Open().
  void Start(VHandler handler);
  // Ends a blocked accept and every later one; any thread, also under the
  // server's own lock. A handler still serving a connection must be ended
  // by the server (VServedConnection::Cut) before Stop() can join.
  void Wake();
  // Wakes, joins the accept thread and closes the listener. Safe to call
  // more than once.
  void Stop();

 private:
  void AcceptLoop(VHandler handler);

  VListener Listener_;
  std::mutex Mutex_;
  std::condition_variable Woken_;
  std::atomic<bool> Stopping_{false};
  std::thread Thread_;
};

}  // namespace LumoraQSServe
