// When the receiving thread rehearses a frame's decode (see
// VPacketReader::Rehearse): shortly before the next frame is due, judged by
// the interval between the last two frames.
#pragma once

#include <chrono>
#include <optional>

namespace LumoraQSStream {

// How long before the next frame is due the rehearsal runs: late enough
// that the caches still hold what it brought in (a millisecond ahead they
// already hold less of it), early enough that the frame rarely arrives
// while it runs (a cold decode takes some 10 us).
constexpr std::chrono::microseconds RehearsalLead{200};
// The rehearsal also runs earlier by this many times the last rehearsal's
// own length, so that a large frame's decode has ended well before the
// frame, and the thread that sends it, need a processor.
constexpr int RehearsalMargin = 4;
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

  // A rehearsal took `length`. A frame that comes without one forgets it,
  // so that one rehearsal slowed down (the thread preempted) costs at most
  // the next frame's.
  void OnRehearsal(Clock::duration length) {
    LastRehearsal = length;
    Rehearsed = true;
  }

  // At `now`, after the request for the next frame went out: how long to
  // wait for it before rehearsing (the next frame's due time less the lead
  // and the margin),
  // or nothing when no rehearsal is due: fewer than two frames in a row,
  // frames closer together than MinRehearsalInterval, or the next frame due
  // within the lead.
  std::optional<std::chrono::microseconds> WaitBeforeRehearsal(Clock::time_point now) const;

  // Forgets the frames seen (the start of a connection).
  void Reset() { *this = VRehearsalSchedule{}; }

 private:
  std::optional<Clock::time_point> LastFrame;
  Clock::duration Interval{};  // between the last two frames; zero until there are two
  Clock::duration LastRehearsal{};
  bool Rehearsed = false;  // since the last frame
};

}  // namespace LumoraQSStream
