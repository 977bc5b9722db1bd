// VLumoraQSStreamClient: one TCP connection to a capture server, with its
// receiving thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "stream/end_reason.h"
#include "stream/stream_client_callback.h"
#include "stream/stream_session.h"

// Contract with the callback's owner:
// - Events go through the weak reference only; an expired callback means
//   the event is dropped and the connection goes on. No event is delivered
//   while the stream client's lock is held, so a callback may call the
//   setters.
// - Delivered containers are immutable. The stream client keeps the last
//   ones it delivered to carry types over into the next packet, and reads
//   them exactly as delivered; receivers must copy out of them, never move.
// - Destruction shuts the connection down, joins the receiving thread and
//   only then closes the socket. A connection reports OnDisconnected exactly
//   once (provided the callback still exists), before the destructor
//   returns.
// - An exception a callback throws does not reach the receiving thread and
//   does not end the connection: the event counts as delivered, and the
//   exception is counted (FailedCallbacks) and named, the first one, in
//   DescribeEnd. The library writes no log of its own; this is where a host
//   finds the trace.
class VLumoraQSStreamClient : private LumoraQSStream::IStreamSessionObserver {
 public:
  explicit VLumoraQSStreamClient(std::weak_ptr<ILumoraQSStreamClientCallback> callback);
  ~VLumoraQSStreamClient() override;
  VLumoraQSStreamClient(const VLumoraQSStreamClient&) = delete;
  VLumoraQSStreamClient& operator=(const VLumoraQSStreamClient&) = delete;

  // Resolves `host`, connects to `port` (0 to 65535; the library uses 801)
  // and starts the receiving thread. Blocks until the outcome is known: each
  // endpoint's connect gives up after ConnectTimeout, and name resolution
  // takes what the system's resolver takes. The outcome is reported only
  // through OnConnected or OnDisconnected, both of which have run before
  // Connect returns. The connected socket carries the liveness options of
  // connection_bounds.h, so a vanished peer ends the connection within
  // PeerLossBound. Call once per stream client.
  void Connect(const std::string& host, int port);

  // As Connect, with the name already resolved: tries `endpoints` in order
  // (their ports replaced by `port`) until one accepts.
  void Connect(const std::vector<boost::asio::ip::tcp::endpoint>& endpoints, int port);

  // The object types the server is asked for; the whole set is sent with the
  // next request, also when it did not change.
  void SetRequestedTypes(const std::set<int32_t>& types);
  // Stream mode 0: a request every turn; any other: only after a change.
  void SetStreamMode(uint8_t mode);
  // Converts mosaic video frames to three bytes per pixel from the next
  // decoded frame on.
  void SetVideoConversion(bool on);

  // Why the last connection ended (None before it has): read it in
  // OnDisconnected, or after Connect has reported one. Stopped when the
  // stream client was being destroyed.
  LumoraQSStream::EEndReason EndReason() const { return LastEndReason.load(); }
  // The same with what the reader knew of the fault (the malformed object's
  // type and offset, the declared length out of range, the wrong magic).
  LumoraQSStream::VReadResult End() const;
  // How many events' callbacks have thrown, over the stream client's life.
  uint64_t FailedCallbacks() const { return FailedCallbackCount.load(); }
  // End().Describe(), followed by the count of callbacks that threw and the
  // first one's message when any did.
  std::string DescribeEnd() const;

 private:
  void Run();
  bool OnPacket(const LumoraQSStream::VReceivedPacket& packet,
                const LumoraQSStream::VPacketDelivery& delivery) override;
  template <class Event>
  void Notify(Event&& event);

  std::weak_ptr<ILumoraQSStreamClientCallback> Callback;
  LumoraQSStream::VStreamSession Session;
  std::shared_ptr<std::thread> ReceivingThread;
  bool Attempted = false;  // Connect was called
  std::atomic<LumoraQSStream::EEndReason> LastEndReason{LumoraQSStream::EEndReason::None};
  std::atomic<uint64_t> FailedCallbackCount{0};
  mutable std::mutex EndMutex;  // guards the two below; taken only to copy them
  LumoraQSStream::VReadResult LastEnd;
  std::string FirstCallbackFailure;
};
