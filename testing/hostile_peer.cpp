#include "testing/hostile_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "serve/served_connection.h"
#include "streamio/field_at.h"

namespace QSTesting {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds Slice{20};

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

}  // namespace

// ---- VPeerConnection --------------------------------------------------------

bool VPeerConnection::WaitFor(short events, Clock::time_point deadline) {
  while (!Peer_.Stopping()) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    pollfd p{Fd_, events, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min(left, Slice).count()) + 1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

bool VPeerConnection::Send(const VBytes& bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(Fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!WaitFor(POLLOUT, deadline)) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool VPeerConnection::ReadExactly(uint8_t* out, std::size_t size, Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(Fd_, out + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return false;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      if (!WaitFor(POLLIN, deadline)) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool VPeerConnection::ReadRequest(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  uint8_t header[8];
  if (!ReadExactly(header, sizeof header, deadline)) return false;
  const uint32_t length = static_cast<uint32_t>(LumoraQSStreamIO::Int32At(header + 4));
  if (length > LumoraQSServe::DefaultMaxRequestPayload) return false;
  VBytes payload(length);
  if (length != 0 && !ReadExactly(payload.data(), length, deadline)) return false;
  ++Requests_;
  return true;
}

std::size_t VPeerConnection::Flood(const VBytes& packet, std::size_t maxPackets,
                                   std::chrono::milliseconds maxTime, std::chrono::milliseconds stall) {
  const auto end = Clock::now() + maxTime;
  std::size_t packets = 0;
  std::size_t offset = 0;
  auto lastProgress = Clock::now();
  while (packets < maxPackets && !Peer_.Stopping() && Clock::now() < end) {
    const ssize_t n = ::send(Fd_, packet.data() + offset, packet.size() - offset, MSG_NOSIGNAL);
    if (n > 0) {
      lastProgress = Clock::now();
      offset += static_cast<std::size_t>(n);
      if (offset == packet.size()) {
        offset = 0;
        ++packets;
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (Clock::now() - lastProgress >= stall) {
        Stalled_ = true;
        break;
      }
      WaitFor(POLLOUT, std::min(end, lastProgress + stall));
      continue;
    }
    break;  // the client went away
  }
  return packets;
}

void VPeerConnection::Reset() {
  if (Fd_ < 0) return;
  linger option{1, 0};
  ::setsockopt(Fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(Fd_);
  Fd_ = -1;
}

bool VPeerConnection::WaitForClientClose(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  uint8_t sink[4096];
  while (Fd_ >= 0) {
    const ssize_t n = ::recv(Fd_, sink, sizeof sink, 0);
    if (n == 0) return true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
    if (n < 0 && !WaitFor(POLLIN, deadline)) return false;
  }
  return false;
}

void VPeerConnection::Idle(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!Peer_.Stopping() && Clock::now() < deadline) std::this_thread::sleep_for(Slice);
}

int LimitClientSendBuffer(const std::string& address, uint16_t port) {
  sockaddr_in wanted{};
  if (::inet_pton(AF_INET, address.c_str(), &wanted.sin_addr) != 1) return 0;
  int limited = 0;
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return 0;
  while (const dirent* entry = ::readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == ::dirfd(fds)) continue;
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 || peer.sin_family != AF_INET ||
        peer.sin_addr.s_addr != wanted.sin_addr.s_addr || ntohs(peer.sin_port) != port) {
      continue;
    }
    const int bytes = 4096;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0) ++limited;
  }
  ::closedir(fds);
  return limited;
}

// ---- VHostilePeer -------------------------------------------------------------

VHostilePeer::VHostilePeer(std::string address, uint16_t port, int receiveBuffer)
    : Address_(std::move(address)), Port_(port), ReceiveBuffer_(receiveBuffer) {}

VHostilePeer::~VHostilePeer() { Stop(); }

bool VHostilePeer::Listen() {
  // The receive buffer is set before listening, so accepted sockets start
  // with it and the window they advertise stays small.
  if (!Listener_.Open(Address_, Port_, true, Error_, ReceiveBuffer_)) return false;
  Port_ = Listener_.Port();
  return true;
}

void VHostilePeer::Serve(std::function<void(VPeerConnection&)> script,
                         std::chrono::milliseconds acceptTimeout) {
  Thread_ = std::thread(&VHostilePeer::Run, this, std::move(script), acceptTimeout);
}

void VHostilePeer::Run(std::function<void(VPeerConnection&)> script, std::chrono::milliseconds acceptTimeout) {
  const auto deadline = Clock::now() + acceptTimeout;
  int fd = -1;
  while (fd < 0 && !Stopping_ && Clock::now() < deadline) {
    fd = Listener_.Accept(Slice);
  }
  if (fd >= 0) {
    Accepted_ = true;
    SetNonBlocking(fd);
    VPeerConnection connection(*this, fd);
    script(connection);
    if (connection.Fd_ >= 0) ::close(connection.Fd_);
  }
  Finished_ = true;
}

bool VHostilePeer::WaitFinished(std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (!Finished_) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void VHostilePeer::Stop() {
  Stopping_ = true;
  Listener_.Wake();
  if (Thread_.joinable()) Thread_.join();
  Listener_.Close();
}

}  // namespace QSTesting
