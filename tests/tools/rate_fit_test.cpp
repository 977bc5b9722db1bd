// The export's frame rate estimate: a least-squares line of receive time
// against frame number, over receive times with jitter and frames missing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tools/export/rate_fit.h"

namespace {

TEST(RateFit, JitteredReceiveTimesGiveTheRateWithinAThousandth) {
  QSExport::VRateFit fit;
  uint32_t state = 12345;
  for (int32_t frame = 5000; frame < 6000; ++frame) {
    state = state * 1664525u + 1013904223u;
    if (state % 50 == 0) continue;  // a frame not received
    // Up to 4 ms late, on frames 10 ms apart.
    const int64_t jitter = static_cast<int64_t>(state >> 8) % 4000000;
    fit.Add(frame, (frame - 5000) * 10000000LL + jitter);
  }
  double hz = 0;
  std::string why;
  ASSERT_TRUE(fit.Rate(hz, why)) << why;
  EXPECT_NEAR(hz, 100.0, 0.1);
  EXPECT_LT(fit.Points(), 1000u);
}

TEST(RateFit, NoRateFromOneFrameOrFrameNumbersThatDoNotAdvance) {
  double hz = 0;
  std::string why;
  QSExport::VRateFit one;
  one.Add(7, 0);
  EXPECT_FALSE(one.Rate(hz, why));
  EXPECT_EQ(why, "it holds a single frame");
  QSExport::VRateFit same;
  same.Add(7, 0);
  same.Add(7, 10000000);
  EXPECT_FALSE(same.Rate(hz, why));
  EXPECT_EQ(why, "its frame numbers do not advance");
  QSExport::VRateFit back;
  back.Add(8, 0);
  back.Add(7, 10000000);
  EXPECT_FALSE(back.Rate(hz, why));
}

}  // namespace
