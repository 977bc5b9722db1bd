// VStreamSession: the client's side of one connection to a capture server,
// shared by the stream client and qs-record: the connect within its bound
// with the liveness options, the handshake, and the loop of a request and a
// packet per turn, with an observer of each packet as it was received.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "stream/end_reason.h"
#include "stream/packet_reader.h"
#include "stream/rehearsal_schedule.h"
#include "stream/requests.h"

namespace LumoraQSStreamIO {
class VQSStreamReaderWriter;
}

namespace LumoraQSStream {

// One packet as it came off the socket.
struct VReceivedPacket {
  // Its bytes exactly as received, header included; empty unless the
  // session keeps raw bytes (ERawBytes::Keep).
  const std::vector<uint8_t>& Bytes;
  // When its last byte had been read.
  std::chrono::steady_clock::time_point ReceivedAt;
};

// What the session's owner sees of the loop, on the thread that runs it.
class IStreamSessionObserver {
 public:
  // The server's first packet was read and accepted. False ends the session
  // (Stopped) before any request.
  virtual bool OnHandshake(const VReceivedPacket& packet) {
    (void)packet;
    return true;
  }
  // A data packet was read and decoded. False ends the session after it
  // (Stopped): no request follows.
  virtual bool OnPacket(const VReceivedPacket& packet, const VPacketDelivery& delivery) = 0;
  // The turn's request went out (or none was due) and the next packet is
  // about to be read: what is done here does not hold the server up. False
  // ends the session (Stopped) before the packet is read.
  virtual bool OnRequestSent() { return true; }
  virtual ~IStreamSessionObserver() = default;
};

class VStreamSession {
 public:
  // Whether the observer is shown each packet's raw bytes. Keeping them
  // copies every packet once more, so only a recorder asks for it.
  enum class ERawBytes { Drop, Keep };

  explicit VStreamSession(ERawBytes raw = ERawBytes::Drop);
  ~VStreamSession();
  VStreamSession(const VStreamSession&) = delete;
  VStreamSession& operator=(const VStreamSession&) = delete;

  // The addresses of `host` (empty with `error` when it cannot be resolved).
  std::vector<boost::asio::ip::tcp::endpoint> Resolve(const std::string& host, boost::system::error_code& error);

  // Tries `endpoints` in order, their ports replaced by `port` (0 to 65535),
  // each for at most ConnectTimeout, until one accepts; the connected socket
  // carries the liveness options of connection_bounds.h (a refused option
  // leaves the others in force). The error of the last attempt otherwise:
  // host_not_found when there was none, invalid_argument for a bad port.
  [[nodiscard]] boost::system::error_code Connect(const std::vector<boost::asio::ip::tcp::endpoint>& endpoints,
                                                  int port);
  // Turns Nagle's algorithm off on the connected socket.
  void SetNoDelay();

  // The request state: thread-safe, applied from the next request on.
  // The object types the server is asked for; the whole set is sent with the
  // next request, also when it did not change.
  void SetRequestedTypes(const std::set<int32_t>& types);
  // Stream mode 0: a request every turn; any other: only after a change.
  void SetStreamMode(uint8_t mode);
  // Converts mosaic video frames to three bytes per pixel from the next
  // decoded frame on.
  void SetVideoConversion(bool on);

  // Runs the connection on the calling thread: the handshake, then a
  // request and a packet per turn, each packet shown to `observer`, until a
  // read or a send fails or the observer ends it. Returns why it ended
  // (Stopped once Shutdown was called). A packet that cannot be allocated
  // ends it with AllocationFailed; the observer's own exceptions pass
  // through.
  VReadResult Run(IStreamSessionObserver& observer);
  // Whether the last Run got past the handshake.
  bool HandshakeRead() const { return Handshaken; }

  // From any thread: wakes a Run blocked on the socket, which then ends
  // with Stopped.
  void Shutdown();
  // After Run has returned (or was never started): closes the socket
  // abortively, so that neither a peer that does not read nor one still
  // streaming holds the close up.
  void Close();

 private:
  [[nodiscard]] bool SendRequest(LumoraQSStreamIO::VWriter& writer);
  // `reader`: the connection, or what reads through it; `raw`: where the
  // reader keeps the bytes it read, or nullptr.
  VReadResult Receive(LumoraQSStreamIO::VReader& reader, LumoraQSStreamIO::VQSStreamReaderWriter& connection,
                      IStreamSessionObserver& observer, std::vector<uint8_t>* raw);
  // Waits for the next packet until a rehearsal is due, and rehearses the
  // last frame's decode if the packet has not arrived by then.
  void RehearseIfIdle(LumoraQSStreamIO::VReader& reader, LumoraQSStreamIO::VQSStreamReaderWriter& connection);

  const ERawBytes Raw;
  boost::asio::io_context IoContext;
  std::shared_ptr<boost::asio::ip::tcp::socket> Socket;
  std::mutex RequestLock;
  VRequestState Requests;  // guarded by RequestLock
  std::atomic<bool> VideoConversion{false};
  std::atomic<bool> Stopping{false};
  VPacketReader Packets;  // the thread that runs the session only
  VRehearsalSchedule Rehearsals;  // the same
  bool Handshaken = false;
};

}  // namespace LumoraQSStream
