#include "platform/vision/hands_body/roi_geometry.h"

#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

namespace talvex::vision::roi {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(RoiGeometry, AngleWrapping) {
  EXPECT_NEAR(normalizeRadians(1.5 * kPi), -0.5 * kPi, 1e-12);
  EXPECT_NEAR(normalizeRadians(-1.5 * kPi), 0.5 * kPi, 1e-12);
  EXPECT_NEAR(normalizeRadians(kPi), -kPi, 1e-12);
  EXPECT_NEAR(normalizeRadians(0.25), 0.25, 1e-12);
}

TEST(RoiGeometry, UprightRotationTurnsTheLimbToPointUp) {
  const NormalizedPoint c{0.5, 0.5};
  EXPECT_NEAR(uprightRotation(c, {0.5, 0.4}, 100, 100), 0, 1e-12);              // already up
  EXPECT_NEAR(uprightRotation(c, {0.6, 0.5}, 100, 100), kPi / 2, 1e-12);        // points right
  EXPECT_NEAR(uprightRotation(c, {0.4, 0.5}, 100, 100), -kPi / 2, 1e-12);       // points left
  EXPECT_NEAR(std::abs(uprightRotation(c, {0.5, 0.6}, 100, 100)), kPi, 1e-12);  // down
  // The angle is a pixel angle: 0.05 of 200 px across and 0.1 of 100 px up is 45 degrees.
  EXPECT_NEAR(uprightRotation(c, {0.55, 0.4}, 200, 100), kPi / 4, 1e-12);
}

TEST(RoiGeometry, HandRegionGrowsThePalmTowardsTheFingers) {
  // Fingers up: the region moves up by half a palm and grows 2.6 times.
  NormalizedRotatedRect up =
      handRoiFromPalm({0.5, 0.5}, 0.1, 0.1, {0.5, 0.55}, {0.5, 0.45}, 100, 100);
  EXPECT_NEAR(up.rotation, 0, 1e-12);
  EXPECT_NEAR(up.xCenter, 0.5, 1e-12);
  EXPECT_NEAR(up.yCenter, 0.45, 1e-12);
  EXPECT_NEAR(up.width, 0.26, 1e-12);
  EXPECT_NEAR(up.height, 0.26, 1e-12);

  // Fingers to the right: the move is to the right, on the region's own axis.
  NormalizedRotatedRect right =
      handRoiFromPalm({0.5, 0.5}, 0.1, 0.1, {0.45, 0.5}, {0.55, 0.5}, 100, 100);
  EXPECT_NEAR(right.rotation, kPi / 2, 1e-12);
  EXPECT_NEAR(right.xCenter, 0.55, 1e-12);
  EXPECT_NEAR(right.yCenter, 0.5, 1e-12);
}

TEST(RoiGeometry, RegionsAreSquareInPixelsOnWideFrames) {
  // A palm box 64x48 px on a 1280x720 frame becomes a 2.6 * 64 px square.
  NormalizedRotatedRect r =
      handRoiFromPalm({0.5, 0.5}, 64.0 / 1280, 48.0 / 720, {0.5, 0.55}, {0.5, 0.45}, 1280, 720);
  EXPECT_NEAR(r.width * 1280, 2.6 * 64, 1e-9);
  EXPECT_NEAR(r.height * 720, 2.6 * 64, 1e-9);
  // The shift is half the box height in pixels (24 px), whatever the frame's shape.
  EXPECT_NEAR((0.5 - r.yCenter) * 720, 24, 1e-9);
}

TEST(RoiGeometry, BodyRegionIsCentredOnTheHipsAndSizedByTheScalePoint) {
  NormalizedRotatedRect r = bodyRoiFromDetection({0.5, 0.6}, {0.5, 0.4}, 100, 100);
  EXPECT_NEAR(r.xCenter, 0.5, 1e-12);
  EXPECT_NEAR(r.yCenter, 0.6, 1e-12);
  EXPECT_NEAR(r.width, 0.5, 1e-12);  // 2 * 0.2 * 1.25
  EXPECT_NEAR(r.height, 0.5, 1e-12);
  EXPECT_NEAR(r.rotation, 0, 1e-12);

  // On a 16:9 frame a leaning body gives a square of the same pixel size.
  NormalizedRotatedRect lean =
      bodyRoiFromDetection({0.5, 0.6}, {0.5 + 90.0 / 1280, 0.6 - 120.0 / 720}, 1280, 720);
  EXPECT_NEAR(lean.width * 1280, 2 * 150 * 1.25, 1e-9);
  EXPECT_NEAR(lean.height * 720, 2 * 150 * 1.25, 1e-9);
  EXPECT_NEAR(lean.rotation, std::atan2(90, 120), 1e-12);
}

TEST(RoiGeometry, CropOfATurnedRegionPutsItsTopWhereTheLimbPoints) {
  // Fingers pointing right on a 16:9 frame: the crop's top-centre must land right of the
  // centre, which is what the landmark model needs to see an upright hand.
  NormalizedRotatedRect r =
      handRoiFromPalm({0.5, 0.5}, 0.05, 0.05 * 16 / 9, {0.475, 0.5}, {0.525, 0.5}, 1280, 720);
  const PixelRotatedRect px = toPixels(r, 1280, 720);
  EXPECT_NEAR(px.width, px.height, 1e-3);
  EXPECT_NEAR(px.width, 2.6 * 64, 1e-3);
  EXPECT_NEAR(px.rotation, kPi / 2, 1e-6);
  std::vector<float> tensor(8 * 8 * 3);
  RgbImage frame{1280, 720, std::vector<uint8_t>(1280 * 720 * 3, 0)};
  const CropTransform t = warpToTensor(frame, px, 8, 8, 0, 1, tensor.data());
  double x = 0, y = 0;
  t.map(0.5, 0, x, y);
  EXPECT_NEAR(x, px.centerX + px.width / 2, 1e-3);
  EXPECT_NEAR(y, px.centerY, 1e-3);
}

TEST(RoiGeometry, RegionsFromBrokenDetectionsAreNotUsable) {
  EXPECT_TRUE(isUsable({0.5, 0.5, 0.1, 0.1, 0}));
  EXPECT_FALSE(isUsable({0.5, 0.5, 0, 0.1, 0}));
  EXPECT_FALSE(isUsable({0.5, 0.5, 0.1, -0.1, 0}));
  const double nan = std::nan("");
  EXPECT_FALSE(isUsable(handRoiFromPalm({nan, 0.5}, 0.1, 0.1, {0.5, 0.55}, {0.5, 0.45}, 100, 100)));
  EXPECT_FALSE(isUsable(bodyRoiFromDetection({0.5, 0.5}, {nan, 0.4}, 100, 100)));
  // Wrist and knuckle on the same spot still give an upright region of palm size.
  EXPECT_TRUE(isUsable(handRoiFromPalm({0.5, 0.5}, 0.1, 0.1, {0.5, 0.5}, {0.5, 0.5}, 100, 100)));
}

// A hand drawn upright: wrist at the bottom, the finger bases in a row 40 px above it (the
// middle one straight above the wrist), the
// first joints 20 px further; points 4, 7, 8, 11, 12, 15, 16, 19, 20 (the finger ends) are far
// off and must not count.
std::vector<NormalizedPoint> uprightHand(double wristX, double wristY, int w, int h) {
  std::vector<NormalizedPoint> lm(21, {0.0, 0.0});
  auto at = [&](int i, double dx, double dy) { lm[i] = {wristX + dx / w, wristY + dy / h}; };
  at(0, 0, 0);
  at(1, -20, -10), at(2, -25, -25), at(3, -30, -35);  // thumb
  at(5, -10, -40), at(6, -10, -60);                   // index
  at(9, 0, -40), at(10, 0, -60);                      // middle
  at(13, 10, -40), at(14, 10, -60);                   // ring
  at(17, 20, -40), at(18, 20, -60);                   // little
  for (int end : {4, 7, 8, 11, 12, 15, 16, 19, 20}) at(end, 300, 300);
  return lm;
}

TEST(RoiGeometry, HandRegionFromLandmarksFollowsTheHand) {
  const int w = 1280, h = 720;
  const auto lm = uprightHand(0.5, 0.5, w, h);
  const NormalizedRotatedRect r = handRoiFromLandmarks(lm, w, h);
  // Wrist to knuckles points up: no turn. The steady points span x -30..20 and y -60..0 px:
  // centre (-5, -30), long side 60 px, moved a tenth of it (6 px) towards the fingers and
  // doubled to 120.
  EXPECT_NEAR(r.rotation, 0, 1e-9);
  EXPECT_NEAR(r.width * w, 120, 1e-6);
  EXPECT_NEAR(r.height * h, 120, 1e-6);
  EXPECT_NEAR(r.xCenter * w, 0.5 * w - 5, 1e-6);
  EXPECT_NEAR(r.yCenter * h, 0.5 * h - 36, 1e-6);

  // The same hand turned a quarter clockwise on screen (fingers to the right): the region
  // turns with it and keeps its size; its centre turns about the wrist.
  std::vector<NormalizedPoint> turned(lm.size());
  for (size_t i = 0; i < lm.size(); ++i) {
    const double dx = (lm[i].x - 0.5) * w, dy = (lm[i].y - 0.5) * h;
    turned[i] = {0.5 + -dy / w, 0.5 + dx / h};
  }
  const NormalizedRotatedRect t = handRoiFromLandmarks(turned, w, h);
  EXPECT_NEAR(t.rotation, kPi / 2, 1e-9);
  EXPECT_NEAR(t.width * w, 120, 1e-6);
  EXPECT_NEAR(t.xCenter * w, 0.5 * w + 36, 1e-6);
  EXPECT_NEAR(t.yCenter * h, 0.5 * h - 5, 1e-6);

  // Too few points: no usable region.
  EXPECT_FALSE(isUsable(handRoiFromLandmarks(std::span(lm).first(5), w, h)));
}

}  // namespace
}  // namespace talvex::vision::roi
