// VSimulator: a capture server that streams the demo scene or another frame
// source, built on the served-connection library (serve/).
//
// It listens on one address and port and serves up to MaxClients
// connections at once, each on a sender thread of its own; one more is
// refused (closed at once, with a logged reason), never by dropping a client
// already served. Per connection it sends the handshake (the object types the
// scene offers), then reads requests: an ObjectTypeList replaces the
// connection's requested types, a StreamMode byte sets its mode. In stream
// mode 0 every request is answered by one packet; in any other mode packets
// are pushed without waiting for requests. Packets carry only the types that
// connection requested.
//
// One frame clock serves every connection: with a positive rate it runs from
// Start() (or from the first client's first request, see
// ClockStartsOnConnect) and frame n is
// due n / rate seconds after its start, so two clients see the same frame
// number at the same moment. A request is answered with the newest frame
// that is due, never an older or the same frame as the one before it on
// that connection. A push connection gets every frame from the one due when
// it started pushing, in order: after a delay of the server's own it catches
// up instead of skipping. With rate 0 the clock is a counter: every packet,
// on any connection, carries the next frame number at once.
//
// A push client that stops reading is let go: once the server has waited
// StallLimit in all on its socket without it catching up with the clock
// (its kernel buffers are full), the connection is cut and logged as "not
// reading (N frames behind)". The server queues nothing per client (a frame
// is built when it is sent), so a slow reader costs it no memory.
//
// The scene description (the requested static types) goes with the first
// packet of a connection, again whenever its requested static types change,
// and every StaticEvery frames of that connection.
//
// What is served comes from a frame source (frame_source.h): the demo scene
// unless another source is given, such as a recording. A source may pace
// its frames itself and may end. The last frame served is the source's last
// or frame Frames - 1 of the clock, whichever comes first; a connection ends
// once it was sent that frame (a connection in stream mode 0 also once it is
// due and no request waits), and the simulator finishes once the clock has
// reached it and no connection is left. A source that cannot give a packet
// ends the serving: every connection is closed and the simulator finishes
// with Failed() and the reason in LastError().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serve/acceptor.h"
#include "tools/sim/frame_source.h"
#include "tools/sim/scene.h"

namespace LumoraQSSim {

constexpr std::size_t DefaultMaxClients = 8;
constexpr std::chrono::milliseconds DefaultStallLimit{1000};
// How often waiting sends are checked against the stall limit and ended
// connections are joined.
constexpr std::chrono::milliseconds WatchInterval{20};

struct VSimulatorOptions {
  std::string Address = "127.0.0.1";
  uint16_t Port = 801;  // 0: an ephemeral port, read back with Port()
  double Rate = 100.0;  // frames per second; 0: unpaced
  // Serve frames 0 to Frames - 1 of the clock, then finish; 0: no limit.
  // With a limit the clock starts with the first client (see
  // ClockStartsOnConnect).
  uint64_t Frames = 0;
  // Connections served at once; one more is refused.
  std::size_t MaxClients = DefaultMaxClients;
  // How long the server waits in all on a push client's socket without the
  // client catching up before it cuts the connection.
  std::chrono::milliseconds StallLimit = DefaultStallLimit;
  int SamplesPerFrame = 10;
  uint32_t StaticEvery = 1000;  // 0: only on connect and after changes
  // The frame clock starts with the first request of the first client
  // instead of at Start(), so that a client started after the server sees
  // the first frame.
  bool ClockStartsOnConnect = false;
  // Requests announcing a larger payload end the connection.
  uint32_t MaxRequestPayload = LumoraQSServe::DefaultMaxRequestPayload;
  // Receives one line per event (connections, disconnections); may be empty.
  std::function<void(const std::string&)> Log;
};

class VSimulator {
  using Clock = std::chrono::steady_clock;

 public:
  // Serves the demo scene at Options.Rate.
  explicit VSimulator(VSimulatorOptions options);
  // Serves `source`; Rate and SamplesPerFrame are not used.
  VSimulator(VSimulatorOptions options, std::unique_ptr<VFrameSource> source);
  ~VSimulator();
  VSimulator(const VSimulator&) = delete;
  VSimulator& operator=(const VSimulator&) = delete;

  // Binds, listens and starts serving. False (with LastError()) when the
  // address cannot be bound, the options are unusable or it already ran.
  bool Start();
  // Closes the listening socket and any connection, wakes every wait and
  // joins all threads. Safe to call more than once.
  void Stop();

  uint16_t Port() const { return Port_; }
  std::string LastError() const;
  // The demo scene (only when it is what is served).
  const VDemoScene& Scene() const { return *Scene_; }

  // True once the last frame (of the source or of Options.Frames) is due
  // and the last connection has been closed, or the source failed.
  bool Finished() const;
  bool WaitFinished(std::chrono::milliseconds timeout) const;
  // True once the source could not give a packet; serving has then ended
  // (Finished()), and LastError() says why.
  bool Failed() const;
  // Frame packets sent, all connections together.
  uint64_t FramesSent() const;
  // Frames of the clock served: the highest frame sent to any client, plus 1.
  uint64_t FramesServed() const;
  std::size_t ConnectionsAccepted() const;
  std::size_t ConnectionsClosed() const;
  std::size_t ConnectionsRefused() const;

 private:
  struct VConnection;

  // The accept thread's handler: the new connection gets a sender thread,
  // or is refused.
  void Take(std::unique_ptr<LumoraQSServe::VServedConnection> served);
  // Cuts stalled push connections, joins ended ones, and finishes.
  void WatchLoop();
  void Serve(VConnection& connection);
  // The request reader's handler; false ends the reading.
  bool Request(VConnection& connection, const LumoraQSServe::VRecordedRequest& request);
  // Waits until the connection may send its next packet, `frame`; false
  // when it must end instead. Called with Mutex_ held.
  bool WaitForTurn(std::unique_lock<std::mutex>& lock, VConnection& connection, int64_t& frame);
  // Within WaitForTurn: waits to be woken by a request (or anything that
  // ends the connection), at the latest until `until`.
  void AwaitRequest(std::unique_lock<std::mutex>& lock, VConnection& connection, Clock::time_point until);
  // The following are called with Mutex_ held.
  // The last frame there is to serve; -1 when they never end.
  int64_t LastServable() const;
  // The newest frame due now on the clock (paced sources only).
  int64_t DueNow() const;
  // Time the server has waited on this push connection's socket since it
  // last caught up.
  Clock::duration Waited(const VConnection& connection, Clock::time_point now) const;
  void UpdateFinished();
  void Say(const std::string& line);

  const VSimulatorOptions Options_;
  std::unique_ptr<VDemoScene> Scene_;
  std::unique_ptr<VFrameSource> Source_;
  uint16_t Port_ = 0;
  Clock::time_point Epoch_;  // guarded by Mutex_ until the clock has started
  bool ClockStarted_ = false;

  mutable std::mutex Mutex_;
  mutable std::condition_variable Changed_;
  // Wakes the watch thread early: the simulator stops or a connection has
  // ended. Requests and sends do not concern it.
  std::condition_variable WatchWake_;
  bool Started_ = false;
  bool Stopping_ = false;
  bool Finished_ = false;
  bool Failed_ = false;
  std::vector<std::unique_ptr<VConnection>> Connections_;  // with a sender thread each
  std::size_t Open_ = 0;                                   // connections not yet ended
  int64_t NextUnpaced_ = 0;                                // the unpaced clock
  int64_t HighestSent_ = -1;
  uint64_t FramesSent_ = 0;
  std::size_t Accepted_ = 0;
  std::size_t Closed_ = 0;
  std::size_t Refused_ = 0;
  std::string LastError_;

  std::mutex LogMutex_;
  LumoraQSServe::VAcceptor Acceptor_;
  std::thread WatchThread_;
};

}  // namespace LumoraQSSim
