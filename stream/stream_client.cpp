#include "stream/stream_client.h"

#include <new>
#include <utility>

#include <boost/system/error_code.hpp>

#include "stream/connection_bounds.h"
#include "streamio/socket_reader_writer.h"

using boost::asio::ip::tcp;
using LumoraQSStreamIO::VQSStreamReaderWriter;

VLumoraQSStreamClient::VLumoraQSStreamClient(std::weak_ptr<ILumoraQSStreamClientCallback> callback)
    : Callback(std::move(callback)), Socket(std::make_shared<tcp::socket>(IoContext)) {}

VLumoraQSStreamClient::~VLumoraQSStreamClient() { Stop(); }

template <class Event>
void VLumoraQSStreamClient::Notify(Event&& event) {
  // The strong reference lives only for the call; a callback object that is
  // gone means the event is dropped.
  std::shared_ptr<ILumoraQSStreamClientCallback> callback = Callback.lock();
  if (!callback) return;
  try {
    event(*callback);
  } catch (...) {
    // A failing receiver must not take the connection's thread down.
  }
}

void VLumoraQSStreamClient::Connect(const std::string& host, int port) {
  if (Attempted) return;  // one connection per stream client

  boost::system::error_code error;
  tcp::resolver resolver(IoContext);
  const tcp::resolver::results_type results =
      resolver.resolve(host, "", tcp::resolver::flags(), error);
  std::vector<tcp::endpoint> endpoints;
  if (!error) {
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  }
  Connect(endpoints, port);
}

void VLumoraQSStreamClient::Connect(const std::vector<tcp::endpoint>& endpoints, int port) {
  if (Attempted) return;
  Attempted = true;

  if (port >= 0 && port <= 65535) {
    for (tcp::endpoint endpoint : endpoints) {
      endpoint.port(static_cast<unsigned short>(port));
      boost::system::error_code error;
      ConnectWithin(IoContext, *Socket, endpoint, ConnectTimeout, error);
      if (!error) {
        // Set here, before the connection is reported, so that it is watched
        // from its first moment (also while the receiving thread waits for
        // the handshake). A refused option leaves the others in force; a
        // working server is served either way.
        SetLivenessOptions(*Socket);
        Notify([](ILumoraQSStreamClientCallback& c) { c.OnConnected(); });
        try {
          ReceivingThread = std::make_shared<std::thread>(&VLumoraQSStreamClient::Run, this);
        } catch (...) {
          // No thread could be started: the connection ends here, reported
          // once, as every other end of a connection is.
          Socket->close(error);
          Notify([](ILumoraQSStreamClientCallback& c) { c.OnDisconnected(); });
        }
        return;
      }
      // A socket opened for one protocol cannot connect to an endpoint of
      // the other (an IPv6 socket to an IPv4 address): the next endpoint
      // gets a socket of its own.
      Socket->close(error);
    }
  }
  // Name resolution failed, no endpoint accepted, or the port is not a
  // 16-bit port number.
  Notify([](ILumoraQSStreamClientCallback& c) { c.OnDisconnected(); });
}

void VLumoraQSStreamClient::SetRequestedTypes(const std::set<int32_t>& types) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  Requests.RequestedTypes = types;
  Requests.TypesChanged = true;
}

void VLumoraQSStreamClient::SetStreamMode(uint8_t mode) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  Requests.StreamMode = mode;
  Requests.ModeChanged = true;
}

void VLumoraQSStreamClient::SetVideoConversion(bool on) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  VideoConversion.store(on ? 1 : 0);
}

bool VLumoraQSStreamClient::SendRequest(LumoraQSStreamIO::VWriter& writer) {
  {
    // The request is built from one consistent snapshot of the request
    // state under the lock; the blocking socket write happens after the lock
    // is released, so a setter never waits on a peer that does not read.
    std::lock_guard<std::recursive_mutex> guard(Lock);
    if (!LumoraQSStream::BuildRequest(writer, Requests)) return true;  // nothing to send this turn
  }
  return writer.Flush();
}

void VLumoraQSStreamClient::Run() {
  LumoraQSStream::EEndReason reason = LumoraQSStream::EEndReason::SocketError;
  try {
    Packets.Reset();
    VQSStreamReaderWriter connection(Socket);
    reason = Receive(connection);
  } catch (const std::bad_alloc&) {
    // A packet too large to allocate.
    reason = LumoraQSStream::EEndReason::AllocationFailed;
  } catch (...) {
    // The linger option failing on a socket already shut down: the
    // connection ends like any other socket failure.
    reason = LumoraQSStream::EEndReason::SocketError;
  }
  if (Stopping.load()) reason = LumoraQSStream::EEndReason::Stopped;
  LastEndReason.store(reason);
  Notify([](ILumoraQSStreamClientCallback& c) { c.OnDisconnected(); });
}

LumoraQSStream::EEndReason VLumoraQSStreamClient::Receive(VQSStreamReaderWriter& connection) {
  if (const LumoraQSStream::VReadResult handshake = Packets.ReadHandshake(connection); !handshake) return handshake.Reason;
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    Requests.TypesChanged = true;  // the first request always carries the types
  }
  for (;;) {
    if (!SendRequest(connection)) return LumoraQSStream::EEndReason::SocketError;
    LumoraQSStream::VPacketDelivery delivery;
    const LumoraQSStream::VReadResult packet = Packets.ReadPacket(connection, VideoConversion.load() == 1, delivery);
    if (!packet) return packet.Reason;
    if (delivery.Static) {
      Notify([&](ILumoraQSStreamClientCallback& c) { c.OnStaticObjects(delivery.Static); });
    }
    if (delivery.Dynamic) {
      Notify([&](ILumoraQSStreamClientCallback& c) { c.OnDynamicObjects(delivery.Dynamic); });
    }
  }
}

void VLumoraQSStreamClient::Stop() {
  // Closing a descriptor does not wake a thread blocked reading it, and a
  // closed descriptor may be reused while that thread still uses it. Shutting
  // the connection down wakes the read at once; the socket is closed only
  // after the receiving thread has ended.
  Stopping.store(true);
  boost::system::error_code ignored;
  if (Socket->is_open()) Socket->shutdown(tcp::socket::shutdown_both, ignored);
  if (ReceivingThread) {
    if (ReceivingThread->joinable()) ReceivingThread->join();
    ReceivingThread.reset();
  }
  // The connection is over: close abortively. With the 10-second linger the
  // reader/writer set, closing could block while a peer that does not read
  // leaves requests unsent; and a peer still streaming to a socket that was
  // shut down for reading may see a zero window until the orphaned socket
  // times out. A reset ends both at once.
  if (Socket->is_open()) {
    Socket->set_option(boost::asio::socket_base::linger(true, 0), ignored);
  }
  Socket->close(ignored);
}
