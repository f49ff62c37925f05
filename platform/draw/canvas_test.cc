#include "platform/draw/canvas.h"

#include <gtest/gtest.h>

namespace talvex::draw {
namespace {

bool isWhite(Rgba p) { return p.r > 200 && p.g > 200 && p.b > 200; }
bool isBlack(Rgba p) { return p.r < 40 && p.g < 40 && p.b < 40; }

TEST(Canvas, ShapesLandWherePlaced) {
  auto pic = Picture::create(200, 100);
  ASSERT_TRUE(pic);
  {
    Canvas c(*pic);
    c.setColour({1, 1, 1});
    c.setLineWidth(4);
    c.rectangle(20, 10, 60, 40, false);  // outline only
    c.circle({150, 50}, 10, true);
    c.setColour({1, 0, 0});
    c.line({0, 90}, {200, 90});
  }
  EXPECT_TRUE(isWhite(pic->pixel(20, 30)));  // left edge
  EXPECT_TRUE(isWhite(pic->pixel(80, 30)));  // right edge
  EXPECT_TRUE(isWhite(pic->pixel(50, 10)));  // top edge
  EXPECT_TRUE(isWhite(pic->pixel(50, 50)));  // bottom edge
  EXPECT_TRUE(isBlack(pic->pixel(50, 30)));  // inside stays untouched
  EXPECT_TRUE(isWhite(pic->pixel(150, 50)));
  EXPECT_TRUE(isBlack(pic->pixel(150, 35)));
  Rgba red = pic->pixel(100, 90);
  EXPECT_GT(red.r, 200);
  EXPECT_LT(red.g, 40);
}

TEST(Canvas, TextIsRenderedWithAFontAndMeasured) {
  auto pic = Picture::create(200, 60);
  ASSERT_TRUE(pic);
  double w = 0, narrow = 0;
  {
    Canvas c(*pic);
    c.setColour({1, 1, 1});
    w = c.text({10, 40}, "WWWW", 30);
    narrow = c.textWidth("iiii", 30);
  }
  // A missing font would draw nothing or empty boxes of one width.
  EXPECT_GT(w, 60);
  EXPECT_LT(narrow, w / 2);
  int lit = 0;
  for (int x = 10; x < 10 + static_cast<int>(w); ++x)
    for (int y = 15; y < 41; ++y) lit += isWhite(pic->pixel(x, y));
  EXPECT_GT(lit, 100);
  EXPECT_TRUE(isBlack(pic->pixel(195, 55)));
}

TEST(Canvas, AlignmentAndClipping) {
  auto pic = Picture::create(200, 60);
  ASSERT_TRUE(pic);
  {
    Canvas c(*pic);
    c.setColour({1, 1, 1});
    c.text({100, 40}, "MMM", 24, Align::End);  // ends at x = 100
    c.save();
    c.clip(150, 0, 50, 60);
    c.rectangle(100, 0, 100, 60, true);  // only x >= 150 is painted
    c.restore();
  }
  int rightOfEnd = 0, leftOfEnd = 0;
  for (int y = 20; y < 41; ++y) {
    for (int x = 102; x < 148; ++x) rightOfEnd += isWhite(pic->pixel(x, y));
    for (int x = 40; x < 100; ++x) leftOfEnd += isWhite(pic->pixel(x, y));
  }
  EXPECT_EQ(rightOfEnd, 0);
  EXPECT_GT(leftOfEnd, 50);
  EXPECT_TRUE(isWhite(pic->pixel(160, 10)));
}

TEST(Canvas, RestoreBringsBackTheColourForPicturesAndLabels) {
  auto pic = Picture::create(100, 40);
  auto tile = Picture::create(4, 4);
  ASSERT_TRUE(pic && tile);
  {
    Canvas c(*pic);
    c.setColour({0, 1, 0});
    c.save();
    c.setColour({1, 0, 0});
    c.restore();
    c.drawPicture(*tile, 0, 0, 4, 4);  // must not bring back the red
    c.rectangle(50, 0, 50, 40, true);
  }
  const Rgba p = pic->pixel(75, 20);
  EXPECT_GT(p.g, 200);
  EXPECT_LT(p.r, 30);
}

TEST(Canvas, ScaledPictureFillsItsRectangle) {
  auto small = Picture::create(10, 10);
  ASSERT_TRUE(small);
  {
    Canvas c(*small);
    c.setColour({0, 0, 1});
    c.rectangle(0, 0, 5, 10, true);  // left half blue
  }
  auto big = Picture::create(100, 100);
  ASSERT_TRUE(big);
  {
    Canvas c(*big);
    c.drawPicture(*small, 20, 20, 40, 40);
  }
  EXPECT_GT(big->pixel(25, 40).b, 200);  // left half of the placed picture
  EXPECT_TRUE(isBlack(big->pixel(55, 40)));
  EXPECT_TRUE(isBlack(big->pixel(10, 40)));  // outside the rectangle
  EXPECT_TRUE(isBlack(big->pixel(25, 70)));
}

}  // namespace
}  // namespace talvex::draw
