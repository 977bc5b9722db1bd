#include "stream/stream_session.h"

#include <new>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "stream/connection_bounds.h"
#include "streamio/socket_reader_writer.h"

using boost::asio::ip::tcp;
using LumoraQSStreamIO::VQSStreamReaderWriter;
using LumoraQSStreamIO::VReader;
using LumoraQSStreamIO::VWriter;

namespace LumoraQSStream {

namespace {

using Clock = std::chrono::steady_clock;

// Passes every byte the packet reader takes from the socket through, and
// keeps a copy: after one packet has been read, Packet holds exactly its
// bytes as they arrived.
class VTeeReader : public VReader {
 public:
  explicit VTeeReader(VReader& source) : Source(source) {}
  bool Read(void* destination, std::size_t count) override {
    const bool read = Source.Read(destination, count);
    SetSourceClosed(Source.SourceClosed());
    if (!read) return false;
    const auto* bytes = static_cast<const uint8_t*>(destination);
    Packet.insert(Packet.end(), bytes, bytes + count);
    return true;
  }
  std::vector<uint8_t> Packet;

 private:
  VReader& Source;
};

}  // namespace

VStreamSession::VStreamSession(ERawBytes raw) : Raw(raw), Socket(std::make_shared<tcp::socket>(IoContext)) {}

VStreamSession::~VStreamSession() = default;

std::vector<tcp::endpoint> VStreamSession::Resolve(const std::string& host, boost::system::error_code& error) {
  tcp::resolver resolver(IoContext);
  const tcp::resolver::results_type results = resolver.resolve(host, "", tcp::resolver::flags(), error);
  std::vector<tcp::endpoint> endpoints;
  if (!error) {
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  }
  return endpoints;
}

boost::system::error_code VStreamSession::Connect(const std::vector<tcp::endpoint>& endpoints, int port) {
  if (port < 0 || port > 65535) return boost::asio::error::invalid_argument;
  boost::system::error_code error = boost::asio::error::host_not_found;
  for (tcp::endpoint endpoint : endpoints) {
    endpoint.port(static_cast<unsigned short>(port));
    ConnectWithin(IoContext, *Socket, endpoint, ConnectTimeout, error);
    if (!error) {
      // Set before the connection is reported, so that it is watched from
      // its first moment (also while the handshake is awaited).
      SetLivenessOptions(*Socket);
      return error;
    }
    // A socket opened for one protocol cannot connect to an endpoint of the
    // other (an IPv6 socket to an IPv4 address): the next endpoint gets a
    // socket of its own.
    boost::system::error_code ignored;
    Socket->close(ignored);
  }
  return error;
}

void VStreamSession::SetNoDelay() {
  boost::system::error_code ignored;
  Socket->set_option(tcp::no_delay(true), ignored);
}

void VStreamSession::SetRequestedTypes(const std::set<int32_t>& types) {
  std::lock_guard<std::mutex> guard(RequestLock);
  Requests.RequestedTypes = types;
  Requests.TypesChanged = true;
}

void VStreamSession::SetStreamMode(uint8_t mode) {
  std::lock_guard<std::mutex> guard(RequestLock);
  Requests.StreamMode = mode;
  Requests.ModeChanged = true;
}

void VStreamSession::SetVideoConversion(bool on) { VideoConversion.store(on); }

bool VStreamSession::SendRequest(VWriter& writer) {
  {
    // The request is built from one consistent snapshot of the request
    // state under the lock; the blocking socket write happens after the lock
    // is released, so a setter never waits on a peer that does not read.
    std::lock_guard<std::mutex> guard(RequestLock);
    if (!BuildRequest(writer, Requests)) return true;  // nothing to send this turn
  }
  return writer.Flush();
}

VReadResult VStreamSession::Run(IStreamSessionObserver& observer) {
  Handshaken = false;
  VReadResult end(EEndReason::SocketError);
  try {
    Packets.Reset();
    Rehearsals.Reset();
    std::unique_ptr<VQSStreamReaderWriter> connection;
    try {
      connection = std::make_unique<VQSStreamReaderWriter>(Socket);
    } catch (const boost::system::system_error&) {
      // The linger option failing on a socket already shut down: the
      // connection ends like any other socket failure.
      connection.reset();
    }
    if (connection && Raw == ERawBytes::Keep) {
      VTeeReader tee(*connection);
      end = Receive(tee, *connection, observer, &tee.Packet);
    } else if (connection) {
      end = Receive(*connection, *connection, observer, nullptr);
    }
  } catch (const std::bad_alloc&) {
    // A packet too large to allocate.
    end = EEndReason::AllocationFailed;
  }
  if (Stopping.load()) end = EEndReason::Stopped;
  return end;
}

VReadResult VStreamSession::Receive(VReader& reader, VQSStreamReaderWriter& connection,
                                    IStreamSessionObserver& observer, std::vector<uint8_t>* raw) {
  const std::vector<uint8_t> none;
  const std::vector<uint8_t>& bytes = raw ? *raw : none;

  if (VReadResult handshake = Packets.ReadHandshake(reader); !handshake) return handshake;
  Handshaken = true;
  if (!observer.OnHandshake(VReceivedPacket{bytes, Clock::now()})) return EEndReason::Stopped;
  {
    std::lock_guard<std::mutex> guard(RequestLock);
    Requests.TypesChanged = true;  // the first request always carries the types
  }
  for (;;) {
    if (!SendRequest(connection)) return EEndReason::SocketError;
    if (!observer.OnRequestSent()) return EEndReason::Stopped;
    // The last frame is delivered: ready the next one's container while the
    // server answers, rather than once its packet is here.
    Packets.PrepareNext();
    RehearseIfIdle(reader, connection);
    if (raw) raw->clear();
    VPacketDelivery delivery;
    if (VReadResult packet = Packets.ReadPacket(reader, VideoConversion.load(), delivery); !packet) return packet;
    const Clock::time_point received = Clock::now();
    Rehearsals.OnPacket(received, Packets.CanRehearse());
    if (!observer.OnPacket(VReceivedPacket{bytes, received}, delivery)) return EEndReason::Stopped;
  }
}

void VStreamSession::RehearseIfIdle(VReader& reader, VQSStreamReaderWriter& connection) {
  const std::optional<std::chrono::milliseconds> wait = Rehearsals.WaitBeforeRehearsal(Clock::now());
  if (wait && !connection.WaitReadable(*wait)) Packets.Rehearse(reader);
}

void VStreamSession::Shutdown() {
  // Closing a descriptor does not wake a thread blocked reading it, and a
  // closed descriptor may be reused while that thread still uses it.
  // Shutting the connection down wakes the read at once; the socket is
  // closed only by Close, after the thread has left Run.
  Stopping.store(true);
  boost::system::error_code ignored;
  if (Socket->is_open()) Socket->shutdown(tcp::socket::shutdown_both, ignored);
}

void VStreamSession::Close() {
  // The connection is over: close abortively. With the 10-second linger the
  // reader/writer set, closing could block while a peer that does not read
  // leaves requests unsent; and a peer still streaming to a socket that was
  // shut down for reading may see a zero window until the orphaned socket
  // times out. A reset ends both at once.
  boost::system::error_code ignored;
  if (Socket->is_open()) Socket->set_option(boost::asio::socket_base::linger(true, 0), ignored);
  Socket->close(ignored);
}

}  // namespace LumoraQSStream
