#include "platform/vision/roi_geometry.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

namespace talvex::vision::roi {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(RoiGeometry, SigmoidAndAngleWrapping) {
  EXPECT_DOUBLE_EQ(sigmoid(0), 0.5);
  EXPECT_NEAR(sigmoid(4), 0.98201379, 1e-8);
  EXPECT_NEAR(sigmoid(-4), 1 - 0.98201379, 1e-8);
  EXPECT_NEAR(normalizeRadians(1.5 * kPi), -0.5 * kPi, 1e-12);
  EXPECT_NEAR(normalizeRadians(-1.5 * kPi), 0.5 * kPi, 1e-12);
  EXPECT_NEAR(normalizeRadians(kPi), -kPi, 1e-12);
  EXPECT_NEAR(normalizeRadians(0.25), 0.25, 1e-12);
}

TEST(RoiGeometry, UprightRotationTurnsTheLimbToPointUp) {
  const Point2 c{0.5, 0.5};
  EXPECT_NEAR(uprightRotation(c, {0.5, 0.4}, 100, 100), 0, 1e-12);              // already up
  EXPECT_NEAR(uprightRotation(c, {0.6, 0.5}, 100, 100), kPi / 2, 1e-12);        // points right
  EXPECT_NEAR(uprightRotation(c, {0.4, 0.5}, 100, 100), -kPi / 2, 1e-12);       // points left
  EXPECT_NEAR(std::abs(uprightRotation(c, {0.5, 0.6}, 100, 100)), kPi, 1e-12);  // down
  // The angle is a pixel angle: 0.05 of 200 px across and 0.1 of 100 px up is 45 degrees.
  EXPECT_NEAR(uprightRotation(c, {0.55, 0.4}, 200, 100), kPi / 4, 1e-12);
}

TEST(RoiGeometry, LetterboxOfAWideFrameInASquareInput) {
  const Letterbox lb = letterboxFor(1280, 720, 192, 192);
  EXPECT_NEAR(lb.padX, 0, 1e-12);
  EXPECT_NEAR(lb.padY, (192 - 108) / 2.0 / 192, 1e-12);
  const Point2 top = removeLetterbox({0.25, lb.padY}, lb);
  EXPECT_NEAR(top.x, 0.25, 1e-12);
  EXPECT_NEAR(top.y, 0, 1e-12);
  const Point2 bottom = removeLetterbox({1, 1 - lb.padY}, lb);
  EXPECT_NEAR(bottom.y, 1, 1e-12);
  EXPECT_NEAR(removeLetterboxHeight(108.0 / 192, lb), 1, 1e-12);
  EXPECT_NEAR(removeLetterboxWidth(0.5, lb), 0.5, 1e-12);

  const Letterbox tall = letterboxFor(512, 600, 224, 224);
  EXPECT_NEAR(tall.padY, 0, 1e-12);
  EXPECT_NEAR(tall.padX, (1 - 512.0 / 600) / 2, 1e-12);
  EXPECT_NEAR(removeLetterbox({0.5, 0.5}, tall).x, 0.5, 1e-12);
}

TEST(RoiGeometry, HandRegionGrowsThePalmTowardsTheFingers) {
  // Fingers up: the region moves up by half a palm and grows 2.6 times.
  NormalizedRoi up = handRoiFromPalm({0.5, 0.5}, 0.1, 0.1, {0.5, 0.55}, {0.5, 0.45}, 100, 100);
  EXPECT_NEAR(up.rotation, 0, 1e-12);
  EXPECT_NEAR(up.xCenter, 0.5, 1e-12);
  EXPECT_NEAR(up.yCenter, 0.45, 1e-12);
  EXPECT_NEAR(up.width, 0.26, 1e-12);
  EXPECT_NEAR(up.height, 0.26, 1e-12);

  // Fingers to the right: the move is to the right, on the region's own axis.
  NormalizedRoi right = handRoiFromPalm({0.5, 0.5}, 0.1, 0.1, {0.45, 0.5}, {0.55, 0.5}, 100, 100);
  EXPECT_NEAR(right.rotation, kPi / 2, 1e-12);
  EXPECT_NEAR(right.xCenter, 0.55, 1e-12);
  EXPECT_NEAR(right.yCenter, 0.5, 1e-12);
}

TEST(RoiGeometry, RegionsAreSquareInPixelsOnWideFrames) {
  // A palm box 64x48 px on a 1280x720 frame becomes a 2.6 * 64 px square.
  NormalizedRoi r =
      handRoiFromPalm({0.5, 0.5}, 64.0 / 1280, 48.0 / 720, {0.5, 0.55}, {0.5, 0.45}, 1280, 720);
  EXPECT_NEAR(r.width * 1280, 2.6 * 64, 1e-9);
  EXPECT_NEAR(r.height * 720, 2.6 * 64, 1e-9);
  // The shift is half the box height in pixels (24 px), whatever the frame's shape.
  EXPECT_NEAR((0.5 - r.yCenter) * 720, 24, 1e-9);
}

TEST(RoiGeometry, BodyRegionIsCentredOnTheHipsAndSizedByTheScalePoint) {
  NormalizedRoi r = bodyRoiFromDetection({0.5, 0.6}, {0.5, 0.4}, 100, 100);
  EXPECT_NEAR(r.xCenter, 0.5, 1e-12);
  EXPECT_NEAR(r.yCenter, 0.6, 1e-12);
  EXPECT_NEAR(r.width, 0.5, 1e-12);  // 2 * 0.2 * 1.25
  EXPECT_NEAR(r.height, 0.5, 1e-12);
  EXPECT_NEAR(r.rotation, 0, 1e-12);

  // On a 16:9 frame a leaning body gives a square of the same pixel size.
  NormalizedRoi lean =
      bodyRoiFromDetection({0.5, 0.6}, {0.5 + 90.0 / 1280, 0.6 - 120.0 / 720}, 1280, 720);
  EXPECT_NEAR(lean.width * 1280, 2 * 150 * 1.25, 1e-9);
  EXPECT_NEAR(lean.height * 720, 2 * 150 * 1.25, 1e-9);
  EXPECT_NEAR(lean.rotation, std::atan2(90, 120), 1e-12);
}

TEST(RoiGeometry, ProjectionFollowsTheRegionsRotation) {
  NormalizedRoi r{0.5, 0.5, 0.2, 0.2, kPi / 2};
  // The region's top-centre (where the fingers point) lies to the right on screen.
  Point2 top = projectFromRoi(r, {0.5, 0});
  EXPECT_NEAR(top.x, 0.6, 1e-12);
  EXPECT_NEAR(top.y, 0.5, 1e-12);
  Point2 centre = projectFromRoi(r, {0.5, 0.5});
  EXPECT_NEAR(centre.x, 0.5, 1e-12);
  EXPECT_NEAR(centre.y, 0.5, 1e-12);

  // Unrotated regions map linearly; on a wide frame the normalised sizes differ.
  NormalizedRoi flat{0.5, 0.5, 0.25, 0.5, 0};
  Point2 corner = projectFromRoi(flat, {1, 1});
  EXPECT_NEAR(corner.x, 0.625, 1e-12);
  EXPECT_NEAR(corner.y, 0.75, 1e-12);
}

TEST(RoiGeometry, CornersAreClockwiseFromTheUprightTopLeft) {
  NormalizedRoi r{0.5, 0.5, 0.2, 0.2, kPi / 2};
  auto c = roiCornersInPixels(r, 100, 100);
  // Turned a quarter clockwise, the upright top-left corner is now at the top right.
  EXPECT_NEAR(c[0].x, 60, 1e-9);
  EXPECT_NEAR(c[0].y, 40, 1e-9);
  EXPECT_NEAR(c[1].x, 60, 1e-9);
  EXPECT_NEAR(c[1].y, 60, 1e-9);
  EXPECT_NEAR(c[2].x, 40, 1e-9);
  EXPECT_NEAR(c[2].y, 60, 1e-9);
}

}  // namespace
}  // namespace talvex::vision::roi
