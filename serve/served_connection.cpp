#include "serve/served_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <utility>

#include "streamio/field_at.h"

namespace LumoraQSServe {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

tcp::socket Adopt(asio::io_context& io, int fd, bool v6) {
  tcp::socket socket(io);
  boost::system::error_code ec;
  socket.assign(v6 ? tcp::v6() : tcp::v4(), fd, ec);
  // A descriptor that cannot be adopted is closed; the connection then
  // fails every send and read at once.
  if (ec) ::close(fd);
  return socket;
}

std::string Describe(tcp::socket& socket) {
  boost::system::error_code ec;
  const tcp::endpoint endpoint = socket.remote_endpoint(ec);
  if (ec) return "(unknown)";
  const asio::ip::address address = endpoint.address();
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

VServedConnection::VServedConnection(int fd, bool v6, std::size_t number)
    : Socket_(Adopt(Io_, fd, v6)), Number_(number), Peer_(Describe(Socket_)) {}

VServedConnection::~VServedConnection() { Close(std::chrono::milliseconds(0)); }

void VServedConnection::StartReading(VRequestReading reading) {
  Reading_ = std::move(reading);
  Reader_ = std::thread(&VServedConnection::ReadRequests, this);
}

bool VServedConnection::Send(const uint8_t* bytes, std::size_t size) {
  boost::system::error_code ec;
  asio::write(Socket_, asio::buffer(bytes, size), ec);
  return !ec;
}

bool VServedConnection::ReadEnded() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return ReadEnded_;
}

void VServedConnection::Cut() {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Cut_ = true;
    // Shutdown, not close: it wakes a thread blocked on the socket, and the
    // descriptor stays this connection's until Close().
    if (!Closed_) ::shutdown(Socket_.native_handle(), SHUT_RDWR);
  }
  Changed_.notify_all();
}

void VServedConnection::Close(std::chrono::milliseconds wait) {
  {
    std::unique_lock<std::mutex> lock(Mutex_);
    if (Closed_) return;
    ::shutdown(Socket_.native_handle(), SHUT_WR);
    Changed_.wait_for(lock, wait, [this] { return Cut_ || ReadEnded_; });
    ::shutdown(Socket_.native_handle(), SHUT_RDWR);
  }
  if (Reader_.joinable()) Reader_.join();
  std::lock_guard<std::mutex> lock(Mutex_);
  boost::system::error_code ignored;
  Socket_.close(ignored);
  Closed_ = true;
}

void VServedConnection::ReadRequests() {
  for (;;) {
    VBytes packet(8);
    boost::system::error_code ec;
    asio::read(Socket_, asio::buffer(packet), ec);
    if (ec) break;
    const int32_t length = LumoraQSStreamIO::Int32At(packet, 4);
    const bool acceptable = length >= 0 && static_cast<uint32_t>(length) <= Reading_.MaxPayload;
    if (acceptable && length > 0) {
      packet.resize(8 + static_cast<std::size_t>(length));
      asio::read(Socket_, asio::buffer(packet.data() + 8, static_cast<std::size_t>(length)), ec);
      if (ec) break;
    }
    const bool more = Reading_.OnRequest ? Reading_.OnRequest(DecodeRequestPacket(packet)) : true;
    if (!more || !acceptable) break;
  }
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    ReadEnded_ = true;
  }
  Changed_.notify_all();
  if (Reading_.OnReadEnd) Reading_.OnReadEnd();
}

}  // namespace LumoraQSServe
