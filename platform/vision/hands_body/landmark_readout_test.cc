#include "platform/vision/hands_body/landmark_readout.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace talvex::vision {
namespace {

// An upright crop of `side` pixels centred on the middle of a 1280x720 frame.
CropGeometry uprightCrop(double side, int inputSize) {
  return {{640, 360, side, 0, 0, side}, inputSize, 1280, 720};
}

TEST(LandmarkReadout, WristIsLandmarkZeroMappedIntoTheFrameWithYUp) {
  std::vector<float> lm(63, 0.0f);
  lm[0] = 112;  // centre column of a 224 input
  lm[1] = 56;   // a quarter down
  lm[3] = 1;    // landmark 1 must not be read
  lm[4] = 1;
  auto wrist = handFromLandmarks(lm, uprightCrop(256, 224), 0.8f).recognizedPoint(HandJoint::Wrist);
  ASSERT_TRUE(wrist);
  EXPECT_NEAR(wrist->location.x, 0.5, 1e-9);
  EXPECT_NEAR(wrist->location.y, 1 - 296.0 / 720, 1e-9);  // 64 px above the centre
  EXPECT_FLOAT_EQ(wrist->confidence, 0.8f);

  // The same crop turned a quarter clockwise: the crop's upper half lies to the right.
  CropGeometry turned{{640, 360, 0, 256, -256, 0}, 224, 1280, 720};
  auto w2 = handFromLandmarks(lm, turned, 0.8f).recognizedPoint(HandJoint::Wrist);
  ASSERT_TRUE(w2);
  EXPECT_NEAR(w2->location.x, 704.0 / 1280, 1e-9);
  EXPECT_NEAR(w2->location.y, 0.5, 1e-9);
}

TEST(LandmarkReadout, JointsBeyondThePictureFailTheirLookupThoseJustOutsideLieOnTheEdge) {
  struct Case {
    Point estimate;
    std::optional<Point> placed;
  } cases[] = {
      {{0.5, 0.25}, Point{0.5, 0.25}},
      {{0, 1}, Point{0, 1}},
      {{1.079, 0.5}, Point{1, 0.5}},   // inside the band: onto the edge
      {{0.3, -0.079}, Point{0.3, 0}},  // the other side keeps its place
      {{-0.05, 1.05}, Point{0, 1}},
      {{1.081, 0.5}, std::nullopt},  // beyond the band: not in the picture
      {{0.5, -0.2}, std::nullopt},
      {{0.5, std::nan("")}, std::nullopt},
  };
  for (const Case& c : cases) {
    auto p = inPicture(c.estimate);
    ASSERT_EQ(p.has_value(), c.placed.has_value()) << c.estimate.x << "," << c.estimate.y;
    if (p) {
      EXPECT_EQ(p->x, c.placed->x);
      EXPECT_EQ(p->y, c.placed->y);
    }
  }
  // Through the readouts: a wrist and a shoulder below the frame are left out.
  std::vector<float> hand(63, 0.0f);
  hand[0] = 112;
  hand[1] = 224;  // the crop's bottom edge: 128 px below the centre of a 720-row frame is inside
  EXPECT_TRUE(
      handFromLandmarks(hand, uprightCrop(256, 224), 0.8f).recognizedPoint(HandJoint::Wrist));
  const CropGeometry low{
      {640, 700, 256, 0, 0, 256}, 224, 1280, 720};  // centred 20 px above the bottom
  EXPECT_FALSE(handFromLandmarks(hand, low, 0.8f).recognizedPoint(HandJoint::Wrist));
  std::vector<float> pose(195, 0.0f);
  pose[5 * 11 + 0] = 128, pose[5 * 11 + 1] = 256;  // the left shoulder at the crop's bottom
  pose[5 * 12 + 0] = 128, pose[5 * 12 + 1] = 128;
  auto body = bodyFromLandmarks(pose, {{640, 700, 512, 0, 0, 512}, 256, 1280, 720});
  ASSERT_TRUE(body);
  EXPECT_FALSE(body->recognizedPoint(BodyJoint::LeftShoulder));
  EXPECT_TRUE(body->recognizedPoint(BodyJoint::RightShoulder));
}

TEST(LandmarkReadout, AShortHandTensorGivesAHandWithoutJoints) {
  std::vector<float> lm(62, 100.0f);
  auto hand = handFromLandmarks(lm, uprightCrop(256, 224), 0.9f);
  EXPECT_FALSE(hand.recognizedPoint(HandJoint::Wrist));
}

TEST(LandmarkReadout, ShouldersAreLandmarks11And12WithSigmoidVisibility) {
  std::vector<float> lm(195, 0.0f);
  auto put = [&](int i, float x, float y, float vis) {
    lm[5 * i + 0] = x;
    lm[5 * i + 1] = y;
    lm[5 * i + 3] = vis;
    lm[5 * i + 4] = 9;  // presence, not what the confidence reports
  };
  // Decoys where a wrong stride or index would read.
  put(10, 10, 10, 5);
  put(13, 250, 250, 5);
  put(11, 192, 64, 2.0f);  // subject's left: image right for a person facing the camera
  put(12, 64, 64, -2.0f);  // subject's right
  auto body = bodyFromLandmarks(lm, uprightCrop(512, 256));
  ASSERT_TRUE(body);
  auto left = body->recognizedPoint(BodyJoint::LeftShoulder);
  auto right = body->recognizedPoint(BodyJoint::RightShoulder);
  ASSERT_TRUE(left && right);
  EXPECT_NEAR(left->location.x, 768.0 / 1280, 1e-9);
  EXPECT_NEAR(left->location.y, 1 - 232.0 / 720, 1e-9);
  EXPECT_NEAR(right->location.x, 512.0 / 1280, 1e-9);
  EXPECT_NEAR(right->location.y, 1 - 232.0 / 720, 1e-9);
  EXPECT_NEAR(left->confidence, 0.880797, 1e-5);
  EXPECT_NEAR(right->confidence, 0.119203, 1e-5);
}

TEST(LandmarkReadout, ShortPoseTensorGivesNoBody) {
  std::vector<float> lm(5 * 38, 0.0f);
  EXPECT_FALSE(bodyFromLandmarks(lm, uprightCrop(512, 256)));
}

TEST(LandmarkReadout, HandBoundsSpanAllLandmarksInFramePixels) {
  std::vector<float> lm(63, 112.0f);  // every landmark at the crop's centre...
  lm[3 * 4] = 0;                      // ...but the thumb tip at the left edge
  lm[3 * 20 + 1] = 224;               // and the little finger's tip at the bottom
  const PixelBox b = handBounds(lm, uprightCrop(256, 224));
  EXPECT_NEAR(b.xmin, 640 - 128, 1e-9);
  EXPECT_NEAR(b.xmax, 640, 1e-9);
  EXPECT_NEAR(b.ymin, 360, 1e-9);
  EXPECT_NEAR(b.ymax, 360 + 128, 1e-9);
  const PixelBox none = handBounds(std::vector<float>(10, 1.0f), uprightCrop(256, 224));
  EXPECT_EQ(overlapOfSmaller(none, b), 0);
}

TEST(LandmarkReadout, OverlapIsMeasuredOnTheSmallerBox) {
  const PixelBox big{0, 0, 100, 100};
  EXPECT_DOUBLE_EQ(overlapOfSmaller(big, {20, 20, 40, 40}), 1.0);    // inside
  EXPECT_DOUBLE_EQ(overlapOfSmaller({20, 20, 40, 40}, big), 1.0);    // either order
  EXPECT_DOUBLE_EQ(overlapOfSmaller(big, {90, 0, 110, 100}), 0.5);   // half of it inside
  EXPECT_DOUBLE_EQ(overlapOfSmaller(big, {100, 0, 200, 100}), 0.0);  // touching only
  EXPECT_DOUBLE_EQ(overlapOfSmaller(big, {50, 50, 50, 60}), 0.0);    // no area
  const double nan = std::nan("");
  EXPECT_DOUBLE_EQ(overlapOfSmaller(big, {nan, 0, 10, 10}), 0.0);
}

}  // namespace
}  // namespace talvex::vision
