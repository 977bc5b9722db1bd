#include "testing/capture_server.h"

#include <algorithm>
#include <utility>

namespace QSTesting {

using LumoraQSServe::DecodeRequestPacket;
using LumoraQSServe::EncodeObjectTypeList;
using LumoraQSServe::EncodePacket;
using LumoraQSServe::VRequestReading;
using LumoraQSServe::VServedConnection;

using Clock = std::chrono::steady_clock;

struct VCaptureServer::VConnection {
  explicit VConnection(VServedConnection& served) : Served(served) {}
  VServedConnection& Served;
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
  if (!Acceptor_.Open(Options_.Address, Options_.Port, true, LastError_)) return false;
  Port_ = Acceptor_.Port();
  Started_ = true;
  // Connections are served one after another on the accept thread.
  Acceptor_.Start([this](std::unique_ptr<VServedConnection> served) { Take(std::move(served)); });
  return true;
}

void VCaptureServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Stopping_ = true;
    // A thread blocked in accept, recv or send is woken by shutdown.
    Acceptor_.Wake();
    if (Current_) Current_->Cut();
  }
  Changed_.notify_all();
  Acceptor_.Stop();
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

void VCaptureServer::Take(std::unique_ptr<VServedConnection> served) {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Stopping_) return;
    ++Accepted_;
  }
  Changed_.notify_all();
  {
    VConnection connection(*served);
    Serve(connection);
  }
  served.reset();
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    ++Closed_;
  }
  Changed_.notify_all();
}

void VCaptureServer::Serve(VConnection& connection) {
  VServedConnection& served = connection.Served;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    // The connection is closed when its object goes, at the handler's end.
    if (Stopping_ || Options_.Behaviour == EServeBehaviour::CloseAfterAccept) return;
    Current_ = &served;
  }
  VRequestReading reading;
  reading.MaxPayload = Options_.MaxRequestPayload;
  reading.OnRequest = [this, &connection](VRecordedRequest request) {
    request.Connection = connection.Served.Number();
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Requests_.push_back(std::move(request));
      ++connection.RequestsSeen;
    }
    Changed_.notify_all();
    return true;
  };
  reading.OnReadEnd = [this, &connection] {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      connection.ReadClosed = true;
    }
    Changed_.notify_all();
  };
  served.StartReading(std::move(reading));
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
  // give the client a moment to close its side, then cut the connection
  // (Stop() cuts it at once).
  served.Close();
  std::lock_guard<std::mutex> lock(Mutex_);
  Current_ = nullptr;
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
  if (!Options_.OneByteAtATime) return connection.Served.Send(bytes);
  for (const uint8_t& byte : bytes) {
    if (!connection.Served.Send(&byte, 1)) return false;
    if (Options_.ByteGap.count() > 0) {
      std::unique_lock<std::mutex> lock(Mutex_);
      if (Changed_.wait_for(lock, Options_.ByteGap, [this] { return Stopping_; })) return false;
    }
  }
  return true;
}

}  // namespace QSTesting
