#include "serve/acceptor.h"

#include <chrono>
#include <utility>

namespace LumoraQSServe {

namespace {

// A failed accept that was not a wake (a client that vanished before the
// accept, no descriptors left) is tried again after this pause.
constexpr std::chrono::milliseconds AcceptRetryPause{10};

}  // namespace

bool VAcceptor::Open(const std::string& address, uint16_t port, bool loopbackOnly, std::string& error) {
  return Listener_.Open(address, port, loopbackOnly, error);
}

void VAcceptor::Start(VHandler handler) { Thread_ = std::thread(&VAcceptor::AcceptLoop, this, std::move(handler)); }

void VAcceptor::Wake() {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Stopping_ = true;
  }
  Woken_.notify_all();
  Listener_.Wake();
}

void VAcceptor::Stop() {
  Wake();
  if (Thread_.joinable()) Thread_.join();
  Listener_.Close();
}

void VAcceptor::AcceptLoop(VHandler handler) {
  std::size_t accepted = 0;
  while (!Stopping_) {
    const int fd = Listener_.Accept();
    if (fd < 0) {
      // Wake() shuts the listening socket down, which fails the accept.
      std::unique_lock<std::mutex> lock(Mutex_);
      Woken_.wait_for(lock, AcceptRetryPause, [this] { return Stopping_.load(); });
      continue;
    }
    handler(std::make_unique<VServedConnection>(fd, Listener_.IsV6(), ++accepted));
  }
}

}  // namespace LumoraQSServe
