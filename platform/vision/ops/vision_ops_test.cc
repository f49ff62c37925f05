#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "platform/vision/ops/image_ops.h"
#include "platform/vision/ops/scene_cut.h"
#include "platform/vision/ops/ssd_anchors.h"
#include "platform/vision/ops/weighted_nms.h"
#include "platform/vision/testing/images.h"

namespace talvex::vision {
namespace {

TEST(SsdAnchors, MatchTheDetectorsOutputCounts) {
  SsdAnchorOptions face;
  face.strides = {8, 16, 16, 16};
  auto a = generateAnchors(face);
  ASSERT_EQ(a.size(), 896u);
  // 16 x 16 cells of 2 anchors at stride 8, then 8 x 8 cells of 6.
  EXPECT_FLOAT_EQ(a[0].cx, 0.5f / 16);
  EXPECT_FLOAT_EQ(a[1].cx, 0.5f / 16);
  EXPECT_FLOAT_EQ(a[2].cx, 1.5f / 16);
  EXPECT_FLOAT_EQ(a[511].cy, 15.5f / 16);
  EXPECT_FLOAT_EQ(a[512].cx, 0.5f / 8);
  EXPECT_FLOAT_EQ(a[517].cx, 0.5f / 8);
  EXPECT_FLOAT_EQ(a[518].cx, 1.5f / 8);
  EXPECT_FLOAT_EQ(a[895].cy, 7.5f / 8);
  EXPECT_FLOAT_EQ(a[100].w, 1.f);

  SsdAnchorOptions palm;
  palm.inputWidth = palm.inputHeight = 192;
  palm.strides = {8, 16, 16, 16};
  EXPECT_EQ(generateAnchors(palm).size(), 2016u);
  SsdAnchorOptions pose;
  pose.inputWidth = pose.inputHeight = 224;
  pose.strides = {8, 16, 32, 32, 32};
  EXPECT_EQ(generateAnchors(pose).size(), 2254u);

  face.fixedAnchorSize = false;
  auto sized = generateAnchors(face);
  EXPECT_NEAR(sized[0].w, face.minScale, 1e-6);
  EXPECT_GT(sized[1].w, sized[0].w);  // the interpolated anchor is larger
}

TEST(DecodeDetections, OffsetsFromTheAnchorAndSkipsLowScores) {
  std::vector<Anchor> anchors{{0.25f, 0.75f, 1, 1}, {0.5f, 0.5f, 1, 1}};
  DecodeOptions o;
  o.numCoords = 6;
  o.numKeypoints = 1;
  o.xScale = o.yScale = o.wScale = o.hScale = 100;
  std::vector<float> boxes{10, -20, 40, 20, 5, 5, /* second */ 0, 0, 10, 10, 0, 0};
  std::vector<float> scores{2.0f, -3.0f};  // sigmoid 0.88 and 0.047
  auto d = decodeDetections(boxes, scores, anchors, o);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_NEAR(d[0].score, 1 / (1 + std::exp(-2.0)), 1e-6);
  EXPECT_NEAR(d[0].xmin, 0.35f - 0.2f, 1e-6);
  EXPECT_NEAR(d[0].xmax, 0.35f + 0.2f, 1e-6);
  EXPECT_NEAR(d[0].ymin, 0.55f - 0.1f, 1e-6);
  EXPECT_NEAR(d[0].keypoints[0].x, 0.30f, 1e-6);
  EXPECT_NEAR(d[0].keypoints[0].y, 0.80f, 1e-6);
  // Scores beyond the clip still decode to finite probabilities.
  scores = {1e9f, -1e9f};
  d = decodeDetections(boxes, scores, anchors, o);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_LE(d[0].score, 1.f);
}

Detection box(float x0, float y0, float x1, float y1, float score, float kx = 0) {
  Detection d;
  d.xmin = x0;
  d.ymin = y0;
  d.xmax = x1;
  d.ymax = y1;
  d.score = score;
  d.keypoints = {{kx, 0}};
  return d;
}

TEST(WeightedNms, MergesOverlapsByScoreAndKeepsSeparateObjects) {
  std::vector<Detection> in{box(0.6f, 0.6f, 0.8f, 0.8f, 0.7f), box(0.1f, 0.1f, 0.3f, 0.3f, 0.6f, 1),
                            box(0.12f, 0.1f, 0.32f, 0.3f, 0.9f, 3)};
  auto out = weightedNms(in, 0.3f);
  ASSERT_EQ(out.size(), 2u);
  // The best score leads and keeps its score; its box is the score-weighted mean.
  EXPECT_FLOAT_EQ(out[0].score, 0.9f);
  EXPECT_NEAR(out[0].xmin, (0.12f * 0.9f + 0.1f * 0.6f) / 1.5f, 1e-6);
  EXPECT_NEAR(out[0].keypoints[0].x, (3 * 0.9f + 1 * 0.6f) / 1.5f, 1e-6);
  EXPECT_FLOAT_EQ(out[1].xmin, 0.6f);
  EXPECT_NEAR(intersectionOverUnion(in[1], in[1]), 1.f, 1e-6);
  EXPECT_EQ(intersectionOverUnion(in[0], in[1]), 0.f);
  EXPECT_TRUE(weightedNms({}, 0.3f).empty());
}

RgbImage solid(int w, int h) {
  RgbImage img;
  img.width = w;
  img.height = h;
  img.pixels.assign(static_cast<size_t>(w) * h * 3, 0);
  return img;
}

TEST(Letterbox, PadsTheShortSideAndMapsBack) {
  RgbImage img = solid(1280, 720);
  // A white block in the top-left corner.
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x)
      for (int c = 0; c < 3; ++c) img.pixels[(static_cast<size_t>(y) * 1280 + x) * 3 + c] = 255;
  std::vector<float> t(128 * 128 * 3);
  Letterbox lb = letterboxToTensor(img, 128, -1.f, 1.f, t.data());
  EXPECT_FLOAT_EQ(lb.padX, 0.f);
  EXPECT_NEAR(lb.padY, 0.21875f, 1e-6);
  auto at = [&](int x, int y) { return t[(static_cast<size_t>(y) * 128 + x) * 3]; };
  EXPECT_FLOAT_EQ(at(64, 5), -1.f);   // padding is black
  EXPECT_FLOAT_EQ(at(2, 30), 1.f);    // the block, just below the padding
  EXPECT_FLOAT_EQ(at(64, 64), -1.f);  // the black frame
  double x, y;
  lb.transform.map(0.5, 0.5, x, y);
  EXPECT_NEAR(x, 640, 1e-9);
  EXPECT_NEAR(y, 360, 1e-9);
  lb.transform.map(0, 0.21875, x, y);
  EXPECT_NEAR(x, 0, 1e-9);
  EXPECT_NEAR(y, 0, 1e-9);
  double s, tt;
  lb.transform.unmap(1280, 720, s, tt);
  EXPECT_NEAR(s, 1, 1e-9);
  EXPECT_NEAR(tt, 1 - 0.21875, 1e-9);
}

TEST(WarpToTensor, TurnsTheCropWithItsRotation) {
  // One bright pixel right of the centre; a quarter turn clockwise points the crop's x axis
  // down the frame and its y axis to the frame's left, so the pixel appears near the top.
  RgbImage img = solid(64, 64);
  img.pixels[(static_cast<size_t>(32) * 64 + 44) * 3] = 255;
  PixelRotatedRect roi{32.f, 32.f, 32, 32, 0};
  std::vector<float> t(32 * 32 * 3);
  auto red = [&](int x, int y) { return t[(static_cast<size_t>(y) * 32 + x) * 3]; };
  warpToTensor(img, roi, 32, 32, 0.f, 1.f, t.data());
  EXPECT_FLOAT_EQ(red(28, 16), 1.f);
  roi.rotation = static_cast<float>(std::numbers::pi / 2);
  CropTransform tr = warpToTensor(img, roi, 32, 32, 0.f, 1.f, t.data());
  EXPECT_NEAR(red(16, 3), 1.f, 1e-5);
  EXPECT_FLOAT_EQ(red(28, 16), 0.f);
  double x, y;
  tr.map((16 + 0.5) / 32, (3 + 0.5) / 32, x, y);
  EXPECT_NEAR(x, 44.5, 1e-6);
  EXPECT_NEAR(y, 32.5, 1e-6);
  double s, u;
  tr.unmap(x, y, s, u);
  EXPECT_NEAR(s, 16.5 / 32, 1e-9);
  EXPECT_NEAR(u, 3.5 / 32, 1e-9);
}

TEST(ConvertToRgb, UsesTheFullRangeMatrix) {
  PixelBuffer buf = PixelBuffer::allocateNV12(4, 2);
  auto y = buf.plane(0), uv = buf.plane(1);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 4; ++c)
      y.base[r * y.bytesPerRow + c] = static_cast<uint8_t>(c < 2 ? 0 : 255);
  for (int c = 0; c < 4; ++c) uv.base[c] = 128;
  RgbImage rgb;
  ASSERT_TRUE(convertToRgb(buf, rgb));
  ASSERT_EQ(rgb.width, 4);
  // Full range: luma 0 is black and 255 white (limited range would stretch them).
  EXPECT_LE(rgb.pixels[0], 2);
  EXPECT_GE(rgb.pixels[3 * 3], 253);
  // Pure red chroma: Cr high gives a red first byte.
  for (int c = 0; c < 4; c += 2) {
    uv.base[c] = 128;
    uv.base[c + 1] = 255;
  }
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 4; ++c) y.base[r * y.bytesPerRow + c] = 128;
  ASSERT_TRUE(convertToRgb(buf, rgb));
  // Cr alone: red up, green down, blue (which follows Cb) unchanged; so the bytes are R, G, B.
  EXPECT_GT(rgb.pixels[0], 200);
  EXPECT_LT(rgb.pixels[1], 60);
  EXPECT_NEAR(rgb.pixels[2], 128, 8);
  EXPECT_FALSE(convertToRgb(PixelBuffer(), rgb));
}

TEST(Tiles, CoverTheFrameWithOverlapsHoldingSmallFaces) {
  for (auto [w, h, count] :
       {std::tuple{1280, 720, 6}, {640, 480, 6}, {1920, 1080, 6}, {720, 1280, 6}, {100, 100, 4}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::vector<PixelBox> tiles = overlappingTiles(w, h);
    ASSERT_EQ(tiles.size(), static_cast<size_t>(count));
    const double side = tiles[0].width();
    // Every square of side/6 anywhere in the frame lies wholly inside some tile.
    const double face = side / 6;
    for (double y = 0; y + face <= h; y += face / 3) {
      for (double x = 0; x + face <= w; x += face / 3) {
        bool inside = false;
        for (const PixelBox& t : tiles) {
          inside |= t.xmin <= x && x + face <= t.xmax && t.ymin <= y && y + face <= t.ymax;
          EXPECT_GE(t.xmin, 0);
          EXPECT_LE(t.xmax, w);
          EXPECT_LE(t.ymax, h);
        }
        ASSERT_TRUE(inside) << x << "," << y;
      }
    }
  }
  EXPECT_TRUE(overlappingTiles(60, 60).empty());
}

TEST(Letterbox, ARegionMapsBackToWholeFramePixels) {
  RgbImage img{1280, 720, std::vector<uint8_t>(1280 * 720 * 3, 0)};
  // A white square at 800..880 x 300..380, inside the region 640..1120 x 240..720.
  for (int y = 300; y < 380; ++y)
    for (int x = 800; x < 880; ++x)
      for (int c = 0; c < 3; ++c) img.pixels[(static_cast<size_t>(y) * 1280 + x) * 3 + c] = 255;
  std::vector<float> t(96 * 96 * 3);
  const Letterbox lb = letterboxToTensor(img, PixelBox{640, 240, 1120, 720}, 96, 0, 1, t.data());
  double x = 0, y = 0;
  lb.transform.map(0.5, 0.5, x, y);
  EXPECT_NEAR(x, 880, 1e-6);
  EXPECT_NEAR(y, 480, 1e-6);
  // The square's centre (840, 340) is white in the tensor where the transform puts it.
  double s = 0, u = 0;
  lb.transform.unmap(840, 340, s, u);
  const int px = static_cast<int>(s * 96), py = static_cast<int>(u * 96);
  EXPECT_NEAR(t[(static_cast<size_t>(py) * 96 + px) * 3], 1.0f, 1e-3);
  lb.transform.unmap(700, 600, s, u);
  EXPECT_NEAR(t[(static_cast<size_t>(u * 96) * 96 + static_cast<size_t>(s * 96)) * 3], 0.0f, 1e-3);
}

// Mean absolute difference, in 0..255 steps, between the letterboxed rows of a tensor with
// values 0..1 and the same picture area-averaged by OpenCV.
double offAreaAverage(const std::vector<float>& tensor, int size, const cv::Mat& area) {
  const int top = (size - area.rows) / 2;
  double sum = 0;
  for (int y = 0; y < area.rows; ++y)
    for (int x = 0; x < area.cols; ++x)
      for (int c = 0; c < 3; ++c)
        sum += std::abs(tensor[(static_cast<size_t>(y + top) * size + x) * 3 + c] * 255 -
                        area.at<cv::Vec3b>(y, x)[c]);
  return sum / (area.total() * 3);
}

TEST(Letterbox, WholeFrameFromTheReducedCopyMatchesTheFullFrame) {
  // A photograph on a 1280x720 frame: letterboxes scaled from the reduced copy show the same
  // picture, at the same place, as those scaled from every pixel, and are no further from a
  // true area average; regions (tiles) ignore the copy.
  const RgbImage photo = testing::readImage(testing::astronautPath());
  ASSERT_GT(photo.width, 0) << "test photograph missing (run make setup)";
  RgbImage full = testing::onCanvas(photo, 1.2, 1280, 720, 500, 360);
  RgbImage reduced = full;
  addLetterboxSource(reduced, 224);
  const RgbImage* copy = reducedCopy(reduced);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->width, 448);
  EXPECT_EQ(copy->height, 252);
  for (int size : {192, 224}) {
    SCOPED_TRACE(size);
    const size_t n = static_cast<size_t>(size) * size * 3;
    std::vector<float> a(n), b(n);
    const Letterbox la = letterboxToTensor(full, size, 0.f, 1.f, a.data());
    const Letterbox lb = letterboxToTensor(reduced, size, 0.f, 1.f, b.data());
    EXPECT_EQ(la.padY, lb.padY);
    EXPECT_EQ(la.transform.centerY, lb.transform.centerY);
    EXPECT_EQ(la.transform.axX, lb.transform.axX);
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += std::abs(a[i] - b[i]);
    EXPECT_LT(sum / n * 255, 2.5);
    cv::Mat area;
    cv::resize(testing::asMat(full), area, cv::Size(size, static_cast<int>(720 * size / 1280)), 0,
               0, cv::INTER_AREA);
    EXPECT_LT(offAreaAverage(b, size, area), offAreaAverage(a, size, area) + 2);
  }
  // A tile comes from the full frame, exactly as without a reduced copy.
  std::vector<float> a(192 * 192 * 3), b(a.size());
  letterboxToTensor(full, PixelBox{0, 0, 480, 480}, 192, 0.f, 1.f, a.data());
  letterboxToTensor(reduced, PixelBox{0, 0, 480, 480}, 192, 0.f, 1.f, b.data());
  EXPECT_EQ(a, b);
}

TEST(Letterbox, ReducedCopyOnlyForLargeFramesAndDroppedWithNewPixels) {
  RgbImage small = solid(400, 300);
  addLetterboxSource(small, 224);
  EXPECT_FALSE(reducedCopy(small)) << "too small to gain from a copy";
  RgbImage large = solid(1280, 720);
  addLetterboxSource(large, 224);
  ASSERT_TRUE(reducedCopy(large));
  // The next frame converted into the same image must not keep the last frame's copy.
  ASSERT_TRUE(convertToRgb(PixelBuffer::allocateNV12(1280, 720), large));
  EXPECT_FALSE(reducedCopy(large));
}

TEST(SceneCut, AnotherPictureIsACutLightAndMotionAreNot) {
  const RgbImage astronaut = testing::readImage(testing::kAstronaut);
  const RgbImage grace = testing::readImage(testing::kGraceHopper);
  auto brighter = [](RgbImage img, int by) {
    for (uint8_t& v : img.pixels) v = static_cast<uint8_t>(std::min(255, v + by));
    return img;
  };
  auto shifted = [](const RgbImage& img, int dx) {
    RgbImage out = img;
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x)
        for (int c = 0; c < 3; ++c)
          out.pixels[(size_t(y) * img.width + x) * 3 + c] =
              img.pixels[(size_t(y) * img.width + std::clamp(x - dx, 0, img.width - 1)) * 3 + c];
    return out;
  };
  struct Case {
    const char* what;
    RgbImage before, now;
    bool cut;
  } cases[] = {
      {"the same picture", astronaut, astronaut, false},
      {"a little brighter", astronaut, brighter(astronaut, 8), false},
      {"moved by 4 px", astronaut, shifted(astronaut, 4), false},
      {"another photograph", astronaut, grace, true},
      {"the light switched on", astronaut, brighter(astronaut, 60), true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(isSceneCut(sceneSignature(c.before), sceneSignature(c.now)), c.cut) << c.what;
}

}  // namespace
}  // namespace talvex::vision
