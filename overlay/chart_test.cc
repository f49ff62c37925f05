#include "overlay/chart.h"

#include <gtest/gtest.h>

#include <cmath>

namespace talvex::overlay {
namespace {

TEST(NiceTicks, StepsOfOneTwoOrFive) {
  EXPECT_EQ(niceTicks(0, 10, 5), (std::vector<double>{0, 2, 4, 6, 8, 10}));
  EXPECT_EQ(niceTicks(0, 4, 10), (std::vector<double>{0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4}));
  EXPECT_EQ(niceTicks(-12, 31, 4), (std::vector<double>{-10, 0, 10, 20, 30}));
  const auto small = niceTicks(0.03, 0.21, 4);
  ASSERT_EQ(small.size(), 4u);
  EXPECT_NEAR(small.front(), 0.05, 1e-12);
  EXPECT_NEAR(small.back(), 0.2, 1e-12);
  EXPECT_EQ(niceTicks(2, 2, 4), (std::vector<double>{2}));
}

TEST(NiceTicks, FewAndRisingForAnyFiniteRange) {
  struct Case {
    double lo, hi;
  };
  // Values far beyond their spread (the step is below their spacing as doubles), the extremes
  // of the doubles, and a tiny spread.
  const Case cases[] = {{1e17 - 0.8, 1e17 + 16.8}, {1e17, 1e17 + 16}, {-1e300, 1e300},
                        {-1.7e308, 1.7e308},       {1e-300, 2e-300},  {-5e15, -5e15 + 3},
                        {4.5e15, 4.5e15 + 40}};
  for (const Case& c : cases) {
    const auto ticks = niceTicks(c.lo, c.hi, 4);
    EXPECT_LE(ticks.size(), 60u) << c.lo << " " << c.hi;
    for (size_t i = 1; i < ticks.size(); ++i) EXPECT_GT(ticks[i], ticks[i - 1]) << c.lo;
  }
  EXPECT_TRUE(niceTicks(-HUGE_VAL, 1, 4).empty());
}

TEST(Chart, DrawsValuesThatDwarfTheirSpread) {
  auto pic = draw::Picture::create(400, 200);
  ASSERT_TRUE(pic);
  for (const std::vector<std::optional<double>>& values :
       {std::vector<std::optional<double>>{1e17, 1e17 + 16},
        std::vector<std::optional<double>>{-1.7e308, 1.7e308}}) {
    ChartData chart{"angles", {0, 1}, 1, {}, false};
    chart.series = {{"yaw", {1, 0, 0}, values, false}};
    draw::Canvas c(*pic);
    drawChart(c, chart, 0, 0, 400, 200);
  }
}

TEST(Chart, DrawsSeriesInsideItsRectangleOnly) {
  auto pic = draw::Picture::create(400, 200);
  ASSERT_TRUE(pic);
  ChartData chart{"test (units)", {0, 1, 2, 3}, 3, {}, false};
  chart.series = {{"a", {1, 0, 0}, {0.0, 1.0, std::nullopt, 3.0}, false}};
  {
    draw::Canvas c(*pic);
    drawChart(c, chart, 0, 0, 400, 150);
  }
  int red = 0;
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 400; ++x) {
      const auto p = pic->pixel(x, y);
      red += p.r > 200 && p.g < 60 && p.b < 60;
    }
  EXPECT_GT(red, 100);  // the line and its legend
  for (int x = 0; x < 400; x += 5) EXPECT_LT(pic->pixel(x, 170).r, 30) << x;
}

}  // namespace
}  // namespace talvex::overlay
