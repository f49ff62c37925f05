#include "overlay/chart.h"

#include <gtest/gtest.h>

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
