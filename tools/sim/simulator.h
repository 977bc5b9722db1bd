// VSimulator: a capture server that streams the demo scene or another frame
// source, built on the served-connection library (serve/).
//
// It listens on one address and port and serves one client at a time; a
// client that connects while another is being served replaces it (the old
// connection is closed). Per connection it sends the handshake (the object
// types the scene offers), then reads requests: an ObjectTypeList replaces
// the requested types, a StreamMode byte sets the mode. In stream mode 0
// every request is answered by one packet; in any other mode packets are
// pushed without waiting for requests. Packets carry only requested types.
//
// Pacing: with a positive rate the frame clock runs from Start() at that
// rate; a packet carries the newest frame that is due and never an older
// or the same frame as the one before it, so a fast client is held to the
// rate and a slow one skips frames. With rate 0 every packet carries the
// next frame number at once.
//
// The scene description (the requested static types) goes with the first
// packet after a connect, again whenever the requested static types change,
// and every StaticEvery frames of a connection.
//
// What is served comes from a frame source (frame_source.h): the demo scene
// unless another source is given, such as a recording. A source may pace
// its frames itself and may end; once its last frame has been served, the
// simulator finishes as it does when its frame budget is spent. A source
// that cannot give a packet ends the serving: the simulator finishes with
// Failed() and the reason in LastError().
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

#include "serve/acceptor.h"
#include "tools/sim/frame_source.h"
#include "tools/sim/scene.h"

namespace LumoraQSSim {

struct VSimulatorOptions {
  std::string Address = "127.0.0.1";
  uint16_t Port = 801;  // 0: an ephemeral port, read back with Port()
  double Rate = 100.0;  // frames per second; 0: unpaced
  // Stop serving after this many frame packets (packets with dynamic
  // objects); 0: no limit.
  uint64_t Frames = 0;
  int SamplesPerFrame = 10;
  uint32_t StaticEvery = 1000;  // 0: only on connect and after changes
  // The frame clock starts when the first client is taken instead of at
  // Start(), so that a client started after the server sees the first frame.
  bool ClockStartsOnConnect = false;
  // Requests announcing a larger payload end the connection.
  uint32_t MaxRequestPayload = LumoraQSServe::DefaultMaxRequestPayload;
  // Receives one line per event (connections, disconnections); may be empty.
  std::function<void(const std::string&)> Log;
};

class VSimulator {
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

  // True once the frame budget (Options.Frames) is spent and the last
  // connection has been closed.
  bool Finished() const;
  bool WaitFinished(std::chrono::milliseconds timeout) const;
  // True once the source could not give a packet; serving has then ended
  // (Finished()), and LastError() says why.
  bool Failed() const;
  uint64_t FramesSent() const;
  std::size_t ConnectionsAccepted() const;
  std::size_t ConnectionsClosed() const;

 private:
  struct VConnection;

  // The accept thread's handler: the new connection waits to be served.
  void Take(std::unique_ptr<LumoraQSServe::VServedConnection> served);
  void ServeLoop();
  void Serve(VConnection& connection);
  // The request reader's handler; false ends the reading.
  bool Request(VConnection& connection, const LumoraQSServe::VRecordedRequest& request);
  // Waits until the connection may send its next packet; false when it
  // must end instead.
  bool WaitForTurn(VConnection& connection, int64_t& frame);
  void Say(const std::string& line);

  const VSimulatorOptions Options_;
  std::unique_ptr<VDemoScene> Scene_;
  std::unique_ptr<VFrameSource> Source_;
  uint16_t Port_ = 0;
  std::chrono::steady_clock::time_point Epoch_;  // guarded by Mutex_ until the clock has started
  bool ClockStarted_ = false;

  mutable std::mutex Mutex_;
  mutable std::condition_variable Changed_;
  bool Started_ = false;
  bool Stopping_ = false;
  bool Finished_ = false;
  bool Failed_ = false;
  VConnection* Current_ = nullptr;        // the connection being served
  std::unique_ptr<VConnection> Pending_;  // accepted, not yet served
  int64_t LastFrame_ = -1;                // across connections
  uint64_t FramesSent_ = 0;
  std::size_t Accepted_ = 0;
  std::size_t Closed_ = 0;
  std::string LastError_;

  std::mutex LogMutex_;
  LumoraQSServe::VAcceptor Acceptor_;
  std::thread ServeThread_;
};

}  // namespace LumoraQSSim
