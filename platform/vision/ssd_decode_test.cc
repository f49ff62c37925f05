#include "platform/vision/ssd_decode.h"

#include <cmath>

#include <gtest/gtest.h>

namespace talvex::vision {
namespace {

TEST(SsdDecode, OffsetsAreInInputPixelsAroundTheAnchor) {
  const SsdAnchor anchors[] = {{0.25, 0.75, 1, 1}, {0.5, 0.5, 1, 1}, {0.1, 0.1, 1, 1}};
  // Rows: box (cx, cy, w, h) then one keypoint.
  const float boxes[] = {19.2f, -9.6f, 38.4f, 19.2f, -19.2f, 0.0f,  //
                         0,     0,     10,    10,    0,      0,     //
                         0,     0,     10,    10,    0,      0};
  const float scores[] = {2.0f, -1.0f, 1e6f};
  auto d = decodeSsd(boxes, scores, anchors,
                     {.numKeypoints = 1, .inputWidth = 192, .inputHeight = 192, .minScore = 0.5});
  ASSERT_EQ(d.size(), 2u);  // the second scores sigmoid(-1) = 0.27 and is dropped
  EXPECT_NEAR(d[0].score, 1 / (1 + std::exp(-2.0)), 1e-6);
  EXPECT_NEAR(d[0].center.x, 0.35, 1e-6);
  EXPECT_NEAR(d[0].center.y, 0.70, 1e-6);
  EXPECT_NEAR(d[0].width, 0.2, 1e-6);
  EXPECT_NEAR(d[0].height, 0.1, 1e-6);
  ASSERT_EQ(d[0].keypoints.size(), 1u);
  EXPECT_NEAR(d[0].keypoints[0].x, 0.15, 1e-6);
  EXPECT_NEAR(d[0].keypoints[0].y, 0.75, 1e-6);
  // A huge logit is clipped, not overflowed.
  EXPECT_TRUE(std::isfinite(d[1].score));
  EXPECT_NEAR(d[1].score, 1.0, 1e-9);
  EXPECT_NEAR(d[1].center.x, 0.1, 1e-9);
}

TEST(SsdDecode, ShortOutputsDecodeOnlyWhatIsThere) {
  const SsdAnchor anchors[] = {{0.5, 0.5, 1, 1}, {0.5, 0.5, 1, 1}};
  const float boxes[] = {0, 0, 1, 1};  // one row only
  const float scores[] = {5, 5};
  auto d =
      decodeSsd(boxes, scores, anchors, {.numKeypoints = 0, .inputWidth = 1, .inputHeight = 1});
  EXPECT_EQ(d.size(), 1u);
}

TEST(SsdDecode, LetterboxRemovalMapsBackToTheFrame) {
  KeypointDetection d{0.9, {0.5, 0.5}, 0.2, 0.1, {{0.5, 0.25}}};
  const roi::Letterbox lb{0, 0.25};  // a 2:1 frame in a square input
  auto f = removeLetterbox(d, lb);
  EXPECT_NEAR(f.center.y, 0.5, 1e-12);
  EXPECT_NEAR(f.width, 0.2, 1e-12);
  EXPECT_NEAR(f.height, 0.2, 1e-12);
  EXPECT_NEAR(f.keypoints[0].y, 0, 1e-12);
  EXPECT_DOUBLE_EQ(f.score, 0.9);
}

}  // namespace
}  // namespace talvex::vision
