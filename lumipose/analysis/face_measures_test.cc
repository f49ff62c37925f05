#include "lumipose/analysis/face_measures.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

namespace talvex::lumipose {
namespace {

TEST(R3, RoundsHalvesAwayFromZero) {
  EXPECT_EQ(r3(1.23456), 1.235);
  EXPECT_EQ(r3(0.0025), 0.003);
  EXPECT_EQ(r3(-0.0005), -0.001);
  EXPECT_EQ(r3(-1), -1);
  EXPECT_EQ(r3(2.5e-4), 0.0);  // 0.25 rounds down
}

// A luma plane whose pixel (x, y) holds a value that tells where it is.
PixelBuffer markedPlane(int w, int h) {
  PixelBuffer b = PixelBuffer::allocateNV12(w, h);
  const PlaneView& p = b.plane(0);
  std::memset(p.base, 0, static_cast<size_t>(p.bytesPerRow) * static_cast<size_t>(p.height));
  return b;
}

void set(const PixelBuffer& b, int x, int y, uint8_t v) {
  b.plane(0).base[y * b.plane(0).bytesPerRow + x] = v;
}

TEST(Luma, SamplesSixPixelGridFromClampedCorner) {
  PixelBuffer b = markedPlane(12, 12);
  // Only the four grid pixels are bright; anything else sampled would change the mean.
  set(b, 0, 0, 255);
  set(b, 6, 0, 255);
  set(b, 0, 6, 255);
  set(b, 6, 6, 51);
  set(b, 1, 1, 200);
  set(b, 11, 11, 200);
  EXPECT_DOUBLE_EQ(luma(b, {0, 0, 1, 1}), ((255.0 * 3 + 51) / 4) / 255);
  // Left edge outside the frame starts at column 0; right edge beyond 1 stops at the width.
  EXPECT_DOUBLE_EQ(luma(b, {-0.1, 0, 1.5, 1}), ((255.0 * 3 + 51) / 4) / 255);
  // Wholly outside: nothing sampled.
  EXPECT_EQ(luma(b, {1.2, 0, 0.5, 0.5}), -1);
  EXPECT_EQ(luma(b, {0, 0, 0, 1}), -1);
}

TEST(Luma, NarrowRectangleSamplesOneColumnAndStartsAtItsCorner) {
  PixelBuffer b = markedPlane(100, 100);
  // 5 pixels wide, from column 10: only column 10 is sampled, rows 10, 16, ...
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) set(b, x, y, x == 10 ? 100 : 0);
  EXPECT_DOUBLE_EQ(luma(b, {0.10, 0.10, 0.05, 0.5}), 100.0 / 255);
}

TEST(Luma, TruncatesEdgesInsteadOfRounding) {
  PixelBuffer b = markedPlane(100, 100);
  // Row 19 is bright, row 20 dark: a top edge of 0.19999999999999996 must start at row 19.
  for (int x = 0; x < 100; ++x) set(b, x, 19, 255);
  const double top = 1 - (0.5 + 0.3);
  ASSERT_LT(top * 100, 20.0);
  // Rows 19 and 25 are sampled (the rectangle ends at row 30): mean of 255 and 0.
  EXPECT_DOUBLE_EQ(luma(b, {0, top, 0.01, 0.1}), (255.0 / 2) / 255);
}

TEST(Luma, BufferWithoutPlanesIsUnmeasurable) { EXPECT_EQ(luma(PixelBuffer(), {0, 0, 1, 1}), -1); }

TEST(Luma, HonoursBytesPerRow) {
  PixelBuffer b = PixelBuffer::allocateNV12(6, 6, 64);
  ASSERT_EQ(b.plane(0).bytesPerRow, 64);
  std::memset(b.plane(0).base, 255, 64 * 6);
  for (int y = 0; y < 6; ++y) set(b, 0, y, 10);
  EXPECT_DOUBLE_EQ(luma(b, {0, 0, 1, 1}), 10.0 / 255);
}

TEST(Luma, ReadsLimitedRangeAsTheFullRangeItStandsFor) {
  // A decoder's limited-range picture: 16 is black and 235 white; values beyond them (which
  // cameras do produce) clamp. Luma must match what the frame would give at full range.
  const int w = 12, h = 12;
  std::vector<uint8_t> y(w * h), uv((w / 2) * (h / 2), 128);
  auto limited = [&](uint8_t v) {
    std::fill(y.begin(), y.end(), v);
    return PixelBuffer::wrapI420(
        w, h,
        {PlaneView{y.data(), w, h, w}, PlaneView{uv.data(), w / 2, h / 2, w / 2},
         PlaneView{uv.data(), w / 2, h / 2, w / 2}},
        YuvRange::Limited, YuvMatrix::BT601, nullptr);
  };
  EXPECT_EQ(luma(limited(16), {0, 0, 1, 1}), 0);
  EXPECT_EQ(luma(limited(5), {0, 0, 1, 1}), 0);
  EXPECT_EQ(luma(limited(235), {0, 0, 1, 1}), 1);
  EXPECT_EQ(luma(limited(250), {0, 0, 1, 1}), 1);
  for (int v = 16; v <= 235; ++v)
    EXPECT_NEAR(luma(limited(static_cast<uint8_t>(v)), {0, 0, 1, 1}), (v - 16) / 219.0,
                0.5 / 255 + 1e-12)
        << v;
  // Full-range I420 is read as it is.
  std::fill(y.begin(), y.end(), 16);
  const PixelBuffer full = PixelBuffer::wrapI420(
      w, h,
      {PlaneView{y.data(), w, h, w}, PlaneView{uv.data(), 6, 6, 6}, PlaneView{uv.data(), 6, 6, 6}},
      YuvRange::Full, YuvMatrix::BT601, nullptr);
  EXPECT_DOUBLE_EQ(luma(full, {0, 0, 1, 1}), 16.0 / 255);
}

TEST(Centre, MeanOfPointsOrOrigin) {
  EXPECT_EQ(centre({}).x, 0);
  EXPECT_EQ(centre({}).y, 0);
  std::vector<vision::Point> pts{{0, 0}, {1, 1}};
  EXPECT_EQ(centre(pts).x, 0.5);
  EXPECT_EQ(centre(pts).y, 0.5);
}

TEST(Extent, EmptyListGivesStartValues) {
  Extent e = extent({});
  EXPECT_EQ(e.minX, DBL_MAX);
  EXPECT_EQ(e.maxX, -DBL_MAX);
  EXPECT_EQ(e.minY, DBL_MAX);
  EXPECT_EQ(e.maxY, -DBL_MAX);
  std::vector<vision::Point> pts{{0.3, 0.9}, {0.1, 0.2}, {0.5, 0.4}};
  e = extent(pts);
  EXPECT_EQ(e.minX, 0.1);
  EXPECT_EQ(e.maxX, 0.5);
  EXPECT_EQ(e.minY, 0.2);
  EXPECT_EQ(e.maxY, 0.9);
}

}  // namespace
}  // namespace talvex::lumipose
