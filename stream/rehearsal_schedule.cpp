#include "stream/rehearsal_schedule.h"

namespace LumoraQSStream {

void VRehearsalSchedule::OnPacket(Clock::time_point arrival, bool frame) {
  if (!frame) {
    Reset();
    return;
  }
  Interval = LastFrame ? arrival - *LastFrame : Clock::duration{};
  LastFrame = arrival;
}

std::optional<std::chrono::milliseconds> VRehearsalSchedule::WaitBeforeRehearsal(Clock::time_point now) const {
  if (!LastFrame || Interval < MinRehearsalInterval) return std::nullopt;
  const Clock::duration wait = *LastFrame + Interval - RehearsalLead - now;
  if (wait < Clock::duration::zero()) return std::nullopt;
  return std::chrono::round<std::chrono::milliseconds>(wait);
}

}  // namespace LumoraQSStream
