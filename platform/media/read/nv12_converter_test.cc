#include "platform/media/read/nv12_converter.h"

#include <gtest/gtest.h>

namespace talvex::media {
namespace {

FramePtr yuv420Frame(int w, int h, uint8_t y, AVColorRange range,
                     AVPixelFormat fmt = AV_PIX_FMT_YUV420P) {
  FramePtr f(av_frame_alloc());
  f->width = w;
  f->height = h;
  f->format = fmt;
  f->color_range = range;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  for (int r = 0; r < h; ++r) memset(f->data[0] + r * f->linesize[0], y, static_cast<size_t>(w));
  for (int p = 1; p < 3; ++p)
    for (int r = 0; r < h / 2; ++r)
      memset(f->data[p] + r * f->linesize[p], 128, static_cast<size_t>(w / 2));
  return f;
}

TEST(Nv12Converter, ExpandsLimitedRangeToFullRange) {
  Nv12Converter c;
  // Video black and white (16 and 235) become 0 and 255.
  auto black = c.convert(*yuv420Frame(64, 32, 16, AVCOL_RANGE_MPEG));
  ASSERT_TRUE(black) << black.message();
  EXPECT_LE(black->plane(0).base[0], 1);
  auto white = c.convert(*yuv420Frame(64, 32, 235, AVCOL_RANGE_MPEG));
  ASSERT_TRUE(white);
  EXPECT_GE(white->plane(0).base[5 * white->plane(0).bytesPerRow + 7], 254);
  EXPECT_EQ(white->width(), 64);
  EXPECT_EQ(white->height(), 32);
}

TEST(Nv12Converter, KeepsFullRangeSources) {
  Nv12Converter c;
  auto mid = c.convert(*yuv420Frame(64, 32, 100, AVCOL_RANGE_JPEG));
  ASSERT_TRUE(mid);
  EXPECT_NEAR(mid->plane(0).base[0], 100, 1);
  auto j = c.convert(*yuv420Frame(64, 32, 100, AVCOL_RANGE_UNSPECIFIED, AV_PIX_FMT_YUVJ420P));
  ASSERT_TRUE(j);
  EXPECT_NEAR(j->plane(0).base[0], 100, 1);
  EXPECT_NEAR(j->plane(1).base[0], 128, 1);
}

}  // namespace
}  // namespace talvex::media
