#include "platform/vision/landmark_readout.h"

#include <numbers>
#include <vector>

#include <gtest/gtest.h>

namespace talvex::vision {
namespace {

TEST(LandmarkReadout, WristIsLandmarkZeroMappedIntoTheFrameWithYUp) {
  std::vector<float> lm(63, 0.0f);
  lm[0] = 112;  // centre column of a 224 input
  lm[1] = 56;   // a quarter down
  lm[3] = 1;    // landmark 1 must not be read
  lm[4] = 1;
  const roi::NormalizedRoi upright{0.5, 0.5, 0.2, 0.2, 0};
  auto hand = handFromLandmarks(lm, 224, upright, 0.8f);
  auto wrist = hand.recognizedPoint(HandJoint::Wrist);
  ASSERT_TRUE(wrist);
  EXPECT_NEAR(wrist->location.x, 0.5, 1e-9);
  EXPECT_NEAR(wrist->location.y, 1 - 0.45, 1e-9);  // 0.45 from the top is 0.55 from the bottom
  EXPECT_FLOAT_EQ(wrist->confidence, 0.8f);

  // The same crop turned a quarter clockwise: the crop's upper half lies to the right.
  const roi::NormalizedRoi turned{0.5, 0.5, 0.2, 0.2, std::numbers::pi / 2};
  auto w2 = handFromLandmarks(lm, 224, turned, 0.8f).recognizedPoint(HandJoint::Wrist);
  ASSERT_TRUE(w2);
  EXPECT_NEAR(w2->location.x, 0.55, 1e-9);
  EXPECT_NEAR(w2->location.y, 0.5, 1e-9);
}

TEST(LandmarkReadout, HandsOfferOnlyTheWrist) {
  std::vector<float> lm(63, 100.0f);
  auto hand = handFromLandmarks(lm, 224, {0.5, 0.5, 0.2, 0.2, 0}, 0.9f);
  EXPECT_TRUE(hand.recognizedPoint(HandJoint::Wrist));
  // An empty tensor gives a hand without joints: its wrist lookup fails.
  auto empty = handFromLandmarks({}, 224, {0.5, 0.5, 0.2, 0.2, 0}, 0.9f);
  EXPECT_FALSE(empty.recognizedPoint(HandJoint::Wrist));
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
  const roi::NormalizedRoi roi{0.5, 0.5, 0.5, 0.5, 0};
  auto body = bodyFromLandmarks(lm, 256, roi);
  ASSERT_TRUE(body);
  auto left = body->recognizedPoint(BodyJoint::LeftShoulder);
  auto right = body->recognizedPoint(BodyJoint::RightShoulder);
  ASSERT_TRUE(left && right);
  EXPECT_NEAR(left->location.x, 0.625, 1e-9);
  EXPECT_NEAR(left->location.y, 1 - 0.375, 1e-9);
  EXPECT_NEAR(right->location.x, 0.375, 1e-9);
  EXPECT_NEAR(left->confidence, 0.880797, 1e-5);
  EXPECT_NEAR(right->confidence, 0.119203, 1e-5);
}

TEST(LandmarkReadout, ShortPoseTensorGivesNoBody) {
  std::vector<float> lm(5 * 38, 0.0f);
  EXPECT_FALSE(bodyFromLandmarks(lm, 256, {0.5, 0.5, 0.5, 0.5, 0}));
}

}  // namespace
}  // namespace talvex::vision
