#include "looptap/lines.h"

#include <gtest/gtest.h>

#include <limits>

namespace talvex::looptap {
namespace {

TEST(LevelLine, ThreeDecimalsNeverAboveOneNoExponent) {
  EXPECT_EQ(levelLine(0.125f), "LEVEL:0.125");
  EXPECT_EQ(levelLine(0.0f), "LEVEL:0.000");
  EXPECT_EQ(levelLine(1.0f), "LEVEL:1.000");
  EXPECT_EQ(levelLine(1.5f), "LEVEL:1.000");
  EXPECT_EQ(levelLine(std::numeric_limits<float>::infinity()), "LEVEL:1.000");
  EXPECT_EQ(levelLine(1e-9f), "LEVEL:0.000");
  EXPECT_EQ(levelLine(0.9996f), "LEVEL:1.000");
  EXPECT_EQ(levelLine(0.5004f), "LEVEL:0.500");
}

}  // namespace
}  // namespace talvex::looptap
