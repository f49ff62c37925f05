#include "platform/media/media_time.h"

#include <gtest/gtest.h>

#include <cmath>

namespace talvex::media {
namespace {

TEST(MediaTime, SubtractIsExactAcrossTimescales) {
  MediaTime a = MediaTime::make(1001, 30000);  // one NTSC frame
  MediaTime b = MediaTime::make(1, 90000);
  MediaTime d = subtract(a, b);
  EXPECT_EQ(d.timescale, 90000);
  EXPECT_EQ(d.value, 3003 - 1);
  EXPECT_FALSE(d.flags & MediaTime::kHasBeenRounded);
  EXPECT_DOUBLE_EQ(d.seconds(), 3002.0 / 90000);
}

TEST(MediaTime, FromSecondsRoundsToNearest) {
  MediaTime t = MediaTime::fromSeconds(1.5, 600);
  EXPECT_EQ(t.value, 900);
  EXPECT_EQ(t.timescale, 600);
  EXPECT_EQ(MediaTime::fromSeconds(-2.0 / 3, 600).value, -400);
  EXPECT_EQ(MediaTime::fromSeconds(0.0012, 600).value, 1);  // 0.72 -> 1
  EXPECT_FALSE(MediaTime::fromSeconds(NAN, 600).isValid());
  EXPECT_TRUE(MediaTime::fromSeconds(INFINITY, 600).flags & MediaTime::kPositiveInfinity);
  EXPECT_TRUE(std::isinf(MediaTime::fromSeconds(1e300, 600).seconds()));
}

TEST(MediaTime, InvalidAndInfiniteOperands) {
  EXPECT_FALSE(subtract(MediaTime::invalid(), MediaTime::zero()).isValid());
  EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
  MediaTime inf = MediaTime::fromSeconds(INFINITY, 600);
  EXPECT_FALSE(subtract(inf, inf).isValid());
  EXPECT_EQ(compare(MediaTime::make(1, 2), MediaTime::make(2, 4)), 0);
  EXPECT_EQ(compare(MediaTime::make(1, 3), MediaTime::make(1, 2)), -1);
}

}  // namespace
}  // namespace talvex::media
