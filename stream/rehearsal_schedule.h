// When the receiving thread rehearses a frame's decode (see
// VPacketReader::Rehearse): shortly before the next frame is due, judged by
// the interval between the last two frames.
#pragma once

#include <chrono>
#include <optional>

namespace LumoraQSStream {

// How long before the next frame is due the rehearsal runs: late enough
// that the caches still hold what it brought in, early enough that the
// frame rarely arrives while it runs.
constexpr std::chrono::milliseconds RehearsalLead{1};
// Frames closer together than this are not rehearsed: the receiving thread
// is seldom idle long enough between them to lose its caches, and the
// extra wake-up would cost a larger share of each frame.
constexpr std::chrono::milliseconds MinRehearsalInterval{2};

class VRehearsalSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // A data packet arrived at `arrival`; `frame`: it is a frame a rehearsal
  // can decode again (VPacketReader::CanRehearse). Anything else starts the
  // count of frames again.
  void OnPacket(Clock::time_point arrival, bool frame);

  // At `now`, after the request for the next frame went out: how long to
  // wait for it before rehearsing (to the whole millisecond nearest the
  // lead), or nothing when no rehearsal is due: fewer than two frames in a
  // row, frames closer together than MinRehearsalInterval, or the next
  // frame due within the lead.
  std::optional<std::chrono::milliseconds> WaitBeforeRehearsal(Clock::time_point now) const;

  // Forgets the frames seen (the start of a connection).
  void Reset() { *this = VRehearsalSchedule{}; }

 private:
  std::optional<Clock::time_point> LastFrame;
  Clock::duration Interval{};  // between the last two frames; zero until there are two
};

}  // namespace LumoraQSStream
