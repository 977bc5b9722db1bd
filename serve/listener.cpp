#include "serve/listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <cerrno>
#include <cstring>

namespace LumoraQSServe {

bool VListener::Open(const std::string& address, uint16_t port, bool loopbackOnly, std::string& error,
                     int receiveBuffer) {
  namespace asio = boost::asio;
  boost::system::error_code ec;
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  if (ec) {
    error = "bad address " + address + ": " + ec.message();
    return false;
  }
  if (loopbackOnly && !ip.is_loopback()) {
    // Test traffic stays on this machine.
    error = "not a loopback address: " + address;
    return false;
  }
  asio::ip::tcp::endpoint endpoint(ip, port);
  const int fd = ::socket(endpoint.data()->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  socklen_t size = static_cast<socklen_t>(endpoint.capacity());
  if (::bind(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
      ::getsockname(fd, endpoint.data(), &size) != 0) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  endpoint.resize(size);
  Port_ = endpoint.port();
  V6_ = ip.is_v6();
  Fd_ = fd;
  return true;
}

int VListener::Accept(std::chrono::milliseconds timeout) {
  const int listening = Fd_;
  if (listening < 0) return -1;
  if (timeout.count() >= 0) {
    pollfd ready{listening, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return -1;
  }
  // After Wake() the shut-down socket fails the accept at once.
  const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void VListener::Wake() {
  const int fd = Fd_;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void VListener::Close() {
  const int fd = Fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

}  // namespace LumoraQSServe
