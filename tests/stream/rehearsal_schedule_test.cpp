#include "stream/rehearsal_schedule.h"

#include <gtest/gtest.h>

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(RehearsalSchedule, WaitsUntilTheLeadBeforeTheNextFrameOnceTwoFramesSetAPaceSlowEnough) {
  const LumoraQSStream::VRehearsalSchedule::Clock::time_point t0{};
  LumoraQSStream::VRehearsalSchedule schedule;
  schedule.OnPacket(t0, true);
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + milliseconds(1))) << "one frame sets no pace";
  schedule.OnPacket(t0 + milliseconds(5), true);
  // The next frame is due at 10 ms, the rehearsal at 9 ms.
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + milliseconds(6)), milliseconds(3));
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + microseconds(8600)), milliseconds(0));
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + microseconds(9100))) << "due within the lead";
  // A packet that brings a scene starts the count again.
  schedule.OnPacket(t0 + milliseconds(10), false);
  schedule.OnPacket(t0 + milliseconds(15), true);
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + milliseconds(16)));
  // Frames 1.999 ms apart are not rehearsed; 2 ms apart they are.
  schedule.OnPacket(t0 + microseconds(16999), true);
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + milliseconds(17)));
  schedule.OnPacket(t0 + microseconds(18999), true);
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + milliseconds(19)), milliseconds(1));
}
