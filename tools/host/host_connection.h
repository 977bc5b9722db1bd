// The connection a host tool keeps to the capture server, through the
// exported functions of QS.h only: connecting with the chosen axes, prefetch
// mode and data kinds, noticing a lost connection and connecting again, and
// telling a new frame from the one already seen.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/host/host_options.h"

using SteadyClock = std::chrono::steady_clock;

// Frames per second over a sliding window of about one second.
class VRateMeter {
 public:
  void Add(SteadyClock::time_point t);
  // Frames per second between the oldest and the newest frame of the last
  // second; 0 until two frames are known.
  double Rate(SteadyClock::time_point now) const;

 private:
  std::vector<SteadyClock::time_point> Times;
};

enum class FrameEvent {
  Idle,           // nothing new (Poll waited a little)
  Connected,      // a connection was made
  ConnectFailed,  // an attempt failed; with Reconnect, Poll tries again later
  Lost,           // the connection ended; it has been released
  NewFrame,       // the library's current frame is a new one
};

class VHostConnection {
 public:
  // Attempts to connect are this far apart.
  static constexpr std::chrono::milliseconds RetryInterval{500};

  explicit VHostConnection(const HostOptions& options) : Options(options) {}

  // One step: connects when not connected (at most once per RetryInterval),
  // checks the connection, takes the newest frame. Waits a little (at most
  // 20 ms) when there is nothing to do.
  FrameEvent Poll();

  // Disconnects and stops prefetching.
  void Close();

  bool Connected() const { return IsUp; }
  bool EverConnected() const { return EverUp; }
  int32_t FrameNumber() const { return LastFrameNumber; }
  uint64_t FramesSeen() const { return Seen; }
  uint64_t FramesMissed() const { return Missed; }
  double Rate() const { return Meter.Rate(SteadyClock::now()); }
  std::string Endpoint() const { return Options.Host + ":801"; }

 private:
  bool ConnectOnce();

  const HostOptions& Options;
  bool IsUp = false;
  bool EverUp = false;
  SteadyClock::time_point LastAttempt = SteadyClock::now() - std::chrono::hours(1);
  bool HaveFrame = false;
  int32_t LastFrameNumber = 0;
  // After a reconnection the library answers from the last frame of the
  // earlier connection until the new one delivers; that frame is not taken
  // for a new one.
  bool StaleHeld = false;
  int32_t StaleFrameNumber = 0;
  uint64_t Seen = 0;
  uint64_t Missed = 0;
  VRateMeter Meter;
};
