// Records with known values drawn on black frames, read back pixel by pixel.
#include "overlay/record_drawing.h"

#include <gtest/gtest.h>

namespace talvex::overlay {
namespace {

using draw::Picture;
using draw::Rgba;

bool isBlack(Rgba p) { return p.r < 30 && p.g < 30 && p.b < 30; }
bool isFace(Rgba p) { return p.g > 200 && p.r < 120 && p.b < 140; }
bool isHead(Rgba p) { return p.r > 200 && p.g > 180 && p.b < 100; }
bool isGaze(Rgba p) { return p.r > 200 && p.g < 110 && p.b > 180; }
bool isMouth(Rgba p) { return p.r > 200 && p.g < 150 && p.b < 150; }
bool isLeft(Rgba p) { return p.r > 200 && p.g > 90 && p.g < 190 && p.b < 60; }
bool isRight(Rgba p) { return p.r < 60 && p.g > 140 && p.b > 200; }

Picture drawn(const Record& rec, int w = 1280, int h = 720) {
  auto pic = Picture::create(w, h);
  EXPECT_TRUE(pic);
  draw::Canvas c(*pic);
  drawRecord(c, rec, {0, 0, double(w), double(h)});
  return std::move(pic).value();
}

Record face(double yaw, double pitch, double roll) {
  Record r;
  r.t = 1.5;
  r.faces = 1;
  r.box = {0.25, 0.25, 0.25, 0.25};  // x 320..640, y 180..360 on 1280x720
  r.yaw = yaw;
  r.pitch = pitch;
  r.roll = roll;
  return r;
}

TEST(RecordDrawing, FaceBoxSitsOnTheRecordedRectangle) {
  const Picture p = drawn(face(0, 0, 0));
  EXPECT_TRUE(isFace(p.pixel(320, 300)));  // left edge
  EXPECT_TRUE(isFace(p.pixel(640, 300)));  // right edge
  EXPECT_TRUE(isFace(p.pixel(400, 180)));  // top edge (y from the top)
  EXPECT_TRUE(isFace(p.pixel(400, 360)));  // bottom edge
  EXPECT_TRUE(isBlack(p.pixel(330, 350)));
  EXPECT_TRUE(isBlack(p.pixel(310, 300)));
  EXPECT_TRUE(isBlack(p.pixel(400, 370)));
}

TEST(RecordDrawing, HeadArrowFollowsYawAndPitch) {
  // Positive yaw turns the nose to the image's right; positive pitch raises it.
  const Picture right = drawn(face(30, 0, 90));  // roll 90 stands the bar upright
  EXPECT_TRUE(isHead(right.pixel(600, 270)));
  EXPECT_TRUE(isBlack(right.pixel(360, 270)));
  const Picture up = drawn(face(0, 30, 0));
  EXPECT_TRUE(isHead(up.pixel(480, 200)));
  EXPECT_TRUE(isBlack(up.pixel(480, 340)));
  // Positive roll turns the bar counter-clockwise on the screen: its right end rises.
  const Picture rolled = drawn(face(0, 0, 30));
  EXPECT_TRUE(isHead(rolled.pixel(480 + 90, 270 - 52)));
  EXPECT_TRUE(isBlack(rolled.pixel(480 + 90, 270 + 52)));
}

TEST(RecordDrawing, GazeUpIsDrawnUpAndMouthOpening) {
  Record r = face(0, 0, 90);
  r.gaze = std::array<double, 2>{0, 0.1};  // pupils above the eye centres
  r.mouth = std::array<double, 2>{1, 0.5};
  const Picture p = drawn(r);
  const double eyesY = 180 + 0.32 * 180;
  EXPECT_TRUE(isGaze(p.pixel(480, int(eyesY - 40))));
  EXPECT_FALSE(isGaze(p.pixel(480, int(eyesY + 40))));
  // Mouth ellipse: half width 1 x 0.4 x 320 / 2 = 64, half height 32, centred at 0.68 of the box.
  const double my = 180 + 0.68 * 180;
  EXPECT_TRUE(isMouth(p.pixel(480 + 64, int(my))));
  EXPECT_TRUE(isMouth(p.pixel(480, int(my + 32))));
  EXPECT_TRUE(isBlack(p.pixel(480 + 40, int(my))));  // inside the ellipse
}

TEST(RecordDrawing, WristsAndShouldersMarkedByTheSubjectsSide) {
  Record r;
  r.faces = 0;
  // The subject's left shoulder sits on the image's right, as in a picture that is not mirrored.
  r.shoulders = std::array<NormPoint, 2>{NormPoint{0.7, 0.6}, NormPoint{0.3, 0.6}};
  r.hands = {{{0.8, 0.85}, 0.9}, {{0.2, 0.85}, 0.9}};
  const Picture p = drawn(r);
  EXPECT_TRUE(isLeft(p.pixel(1024, 612)));  // wrist centre dot, image right: left
  EXPECT_TRUE(isRight(p.pixel(256, 612)));
  EXPECT_TRUE(isLeft(p.pixel(896, 432)));  // left shoulder
  EXPECT_TRUE(isRight(p.pixel(384, 432)));
  EXPECT_TRUE(isLeftWrist(r, r.hands[0]));
  EXPECT_FALSE(isLeftWrist(r, r.hands[1]));
}

TEST(RecordDrawing, WristSideFallsBackToTheFaceThenTheFrameMiddle) {
  Record r;
  const Wrist w{{0.45, 0.8}, 0.9};
  EXPECT_FALSE(isLeftWrist(r, w));  // left of the frame's middle
  r.box = {0.1, 0.2, 0.2, 0.3};     // face centred at x 0.2
  EXPECT_TRUE(isLeftWrist(r, w));
  r.shoulders = std::array<NormPoint, 2>{NormPoint{0.9, 0.6}, NormPoint{0.5, 0.6}};
  EXPECT_FALSE(isLeftWrist(r, w));  // shoulders' middle at 0.7 wins over the face
}

TEST(RecordDrawing, ThumbnailStaysInsideItsArea) {
  auto pic = Picture::create(600, 400);
  ASSERT_TRUE(pic);
  Record r = face(0, 0, 0);
  r.hands = {{{0.8, 1.1}, 0.9}};  // a wrist below the frame's bottom edge
  {
    draw::Canvas c(*pic);
    drawRecord(c, r, {100, 50, 320, 180, false});
  }
  EXPECT_GT(pic->pixel(180, 50 + 67).g, 100);  // box left edge at 100 + 0.25 x 320
  EXPECT_TRUE(isBlack(pic->pixel(356, 50 + 198)));
  for (int x = 0; x < 600; x += 7) {
    EXPECT_TRUE(isBlack(pic->pixel(x, 45))) << x;
    EXPECT_TRUE(isBlack(pic->pixel(x, 235))) << x;
  }
}

}  // namespace
}  // namespace talvex::overlay
