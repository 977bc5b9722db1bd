#include "testing/capture_server.h"
#include "tools/sim/listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <utility>

namespace QSTesting {

using LumoraQSSim::DecodeRequestPacket;
using LumoraQSSim::EncodeObjectTypeList;
using LumoraQSSim::EncodePacket;
using LumoraQSSim::VListener;

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

int32_t Int32At(const VBytes& bytes, std::size_t offset) {
  uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = (bits << 8) | bytes[offset + static_cast<std::size_t>(i)];
  return static_cast<int32_t>(bits);
}

// How long a server that ends a connection waits for the client to notice
// the end of the stream and close its side, before it cuts the connection.
constexpr std::chrono::milliseconds GracefulCloseWait{500};

}  // namespace

struct VCaptureServer::VNet {
  asio::io_context Io;
  VListener Listener;
};

struct VCaptureServer::VConnection {
  explicit VConnection(tcp::socket socket, std::size_t number) : Socket(std::move(socket)), Number(number) {}
  tcp::socket Socket;
  const std::size_t Number;
  // Guarded by the server's mutex.
  bool ReadClosed = false;
  std::size_t RequestsSeen = 0;
};

VCaptureServer::VCaptureServer(VCaptureServerOptions options) : Options_(std::move(options)) {}

VCaptureServer::~VCaptureServer() { Stop(); }

bool VCaptureServer::Start() {
  std::lock_guard<std::mutex> lock(Mutex_);
  if (Started_) {
    LastError_ = "already started";
    return false;
  }
  auto net = std::make_unique<VNet>();
  if (!net->Listener.Open(Options_.Address, Options_.Port, true, LastError_)) return false;
  Port_ = net->Listener.Port();
  Net_ = std::move(net);
  Started_ = true;
  Thread_ = std::thread(&VCaptureServer::ServeLoop, this);
  return true;
}

void VCaptureServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Stopping_ = true;
    // A thread blocked in accept or recv is woken by shutdown, not by close.
    if (Net_) Net_->Listener.Wake();
    if (ConnectionFd_ >= 0) ::shutdown(ConnectionFd_, SHUT_RDWR);
  }
  Changed_.notify_all();
  if (Thread_.joinable()) Thread_.join();
  std::lock_guard<std::mutex> lock(Mutex_);
  if (Net_) Net_->Listener.Close();
}

std::string VCaptureServer::LastError() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return LastError_;
}

void VCaptureServer::Push(VBytes packet) {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Script_.push_back(std::move(packet));
  }
  Changed_.notify_all();
}

void VCaptureServer::Push(const std::vector<VBytes>& packets) {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Script_.insert(Script_.end(), packets.begin(), packets.end());
  }
  Changed_.notify_all();
}

std::size_t VCaptureServer::ScriptLeft() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Script_.size();
}

std::size_t VCaptureServer::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Accepted_;
}

std::size_t VCaptureServer::ConnectionsClosed() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Closed_;
}

std::vector<VRecordedRequest> VCaptureServer::Requests() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Requests_;
}

std::size_t VCaptureServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Requests_.size();
}

bool VCaptureServer::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Requests_.size() >= count; });
}

bool VCaptureServer::WaitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Accepted_ >= count; });
}

bool VCaptureServer::WaitForClosedConnections(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Closed_ >= count; });
}

void VCaptureServer::ServeLoop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      if (Stopping_) return;
    }
    tcp::socket socket(Net_->Io);
    if (!Net_->Listener.Accept(socket)) {
      // Stop() shuts the listening socket down, which fails the accept. Any
      // other failure is retried after a short pause (still ended by Stop).
      std::unique_lock<std::mutex> lock(Mutex_);
      if (Changed_.wait_for(lock, std::chrono::milliseconds(10), [this] { return Stopping_; })) return;
      continue;
    }
    std::size_t number = 0;
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      number = ++Accepted_;
    }
    Changed_.notify_all();
    VConnection connection(std::move(socket), number);
    Serve(connection);
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      ++Closed_;
    }
    Changed_.notify_all();
  }
}

void VCaptureServer::Serve(VConnection& connection) {
  boost::system::error_code ignored;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Stopping_ || Options_.Behaviour == EServeBehaviour::CloseAfterAccept) {
      connection.Socket.close(ignored);
      return;
    }
    ConnectionFd_ = connection.Socket.native_handle();
  }

  std::thread reader(&VCaptureServer::ReadRequests, this, std::ref(connection));
  const Clock::time_point deadline = Clock::now() + Options_.MaxConnectionTime;

  const VBytes handshake = Options_.HandshakeBytes
                               ? *Options_.HandshakeBytes
                               : EncodePacket({EncodeObjectTypeList(Options_.OfferedTypes)});
  bool open = handshake.empty() || SendAll(connection, handshake);

  switch (Options_.Behaviour) {
    case EServeBehaviour::AnswerEachRequest: {
      std::size_t answered = 0;
      while (open) {
        {
          std::unique_lock<std::mutex> lock(Mutex_);
          const bool request = Changed_.wait_until(lock, deadline, [&] {
            return Stopping_ || connection.ReadClosed || connection.RequestsSeen > answered;
          });
          if (!request || Stopping_ || connection.RequestsSeen <= answered) break;
        }
        ++answered;
        VBytes packet;
        if (!WaitForScript(connection, deadline, packet)) break;
        open = SendAll(connection, packet);
      }
      break;
    }
    case EServeBehaviour::StreamScript: {
      while (open) {
        VBytes packet;
        if (!WaitForScript(connection, deadline, packet)) break;
        open = SendAll(connection, packet);
      }
      break;
    }
    case EServeBehaviour::SilentAfterHandshake: {
      std::unique_lock<std::mutex> lock(Mutex_);
      Changed_.wait_until(lock, deadline, [&] { return Stopping_ || connection.ReadClosed; });
      break;
    }
    case EServeBehaviour::CloseAfterAccept:
      break;
  }

  // End the stream first so that everything sent arrives before the end,
  // give the client a moment to close its side, then cut the connection.
  {
    std::unique_lock<std::mutex> lock(Mutex_);
    ::shutdown(ConnectionFd_, SHUT_WR);
    Changed_.wait_for(lock, GracefulCloseWait, [&] { return Stopping_ || connection.ReadClosed; });
    ::shutdown(ConnectionFd_, SHUT_RDWR);
  }
  reader.join();
  std::lock_guard<std::mutex> lock(Mutex_);
  ConnectionFd_ = -1;
  connection.Socket.close(ignored);
}

bool VCaptureServer::WaitForScript(VConnection& connection, Clock::time_point deadline, VBytes& packet) {
  std::unique_lock<std::mutex> lock(Mutex_);
  if (Script_.empty() && Options_.CloseWhenScriptExhausted) return false;
  const Clock::time_point until = std::min(deadline, Clock::now() + Options_.ScriptWait);
  // A client that went away ends the wait too.
  Changed_.wait_until(lock, until, [&] { return Stopping_ || connection.ReadClosed || !Script_.empty(); });
  if (Stopping_ || Script_.empty()) return false;
  packet = std::move(Script_.front());
  Script_.pop_front();
  return true;
}

bool VCaptureServer::SendAll(VConnection& connection, const VBytes& bytes) {
  boost::system::error_code ec;
  if (!Options_.OneByteAtATime) {
    asio::write(connection.Socket, asio::buffer(bytes), ec);
    return !ec;
  }
  for (uint8_t byte : bytes) {
    asio::write(connection.Socket, asio::buffer(&byte, 1), ec);
    if (ec) return false;
    if (Options_.ByteGap.count() > 0) {
      std::unique_lock<std::mutex> lock(Mutex_);
      if (Changed_.wait_for(lock, Options_.ByteGap, [this] { return Stopping_; })) return false;
    }
  }
  return true;
}

void VCaptureServer::ReadRequests(VConnection& connection) {
  for (;;) {
    VBytes packet(8);
    boost::system::error_code ec;
    asio::read(connection.Socket, asio::buffer(packet), ec);
    if (ec) break;
    const int32_t length = Int32At(packet, 4);
    const bool acceptable = length >= 0 && static_cast<uint32_t>(length) <= Options_.MaxRequestPayload;
    if (acceptable && length > 0) {
      packet.resize(8 + static_cast<std::size_t>(length));
      asio::read(connection.Socket, asio::buffer(packet.data() + 8, static_cast<std::size_t>(length)), ec);
      if (ec) break;
    }
    VRecordedRequest request = DecodeRequestPacket(packet);
    request.Connection = connection.Number;
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Requests_.push_back(std::move(request));
      ++connection.RequestsSeen;
    }
    Changed_.notify_all();
    // A request whose length cannot be honoured ends the connection: the
    // stream can no longer be split into packets.
    if (!acceptable) break;
  }
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    connection.ReadClosed = true;
  }
  Changed_.notify_all();
}

}  // namespace QSTesting
