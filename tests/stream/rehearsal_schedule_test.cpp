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
  // The next frame is due at 10 ms, the rehearsal at 9.8 ms.
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + milliseconds(6)), microseconds(3800));
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + microseconds(9800)), microseconds(0));
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + microseconds(9801))) << "due within the lead";
  // A rehearsal that took 50 us moves the next one 200 us earlier; one that
  // took 2 ms leaves no room for the next, and the frame that then comes
  // without a rehearsal forgets it.
  schedule.OnRehearsal(microseconds(50));
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + milliseconds(6)), microseconds(3600));
  schedule.OnPacket(t0 + milliseconds(10), true);
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + milliseconds(11)), microseconds(3600));
  schedule.OnRehearsal(milliseconds(2));
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + milliseconds(11)));
  schedule.OnPacket(t0 + milliseconds(15), true);
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + milliseconds(16))) << "the slow rehearsal still counts";
  schedule.OnPacket(t0 + milliseconds(20), true);
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + milliseconds(21)), microseconds(3800));
  // A packet that brings a scene starts the count again.
  schedule.OnRehearsal(microseconds(50));
  schedule.OnPacket(t0 + milliseconds(25), false);
  schedule.OnPacket(t0 + milliseconds(30), true);
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + milliseconds(31)));
  // Frames 1.999 ms apart are not rehearsed; 2 ms apart they are.
  schedule.OnPacket(t0 + microseconds(31999), true);
  EXPECT_FALSE(schedule.WaitBeforeRehearsal(t0 + milliseconds(32)));
  schedule.OnPacket(t0 + microseconds(33999), true);
  EXPECT_EQ(schedule.WaitBeforeRehearsal(t0 + milliseconds(34)), microseconds(1799));
}
