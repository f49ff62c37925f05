#include "platform/image/preview_renderer.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstring>

namespace talvex {
namespace {

// A black 1280x720 frame with a white bar over its left quarter.
PixelBuffer frameWithLeftMark(int width = 1280, int height = 720) {
  PixelBuffer b = PixelBuffer::allocateNV12(width, height);
  const PlaneView& y = b.plane(0);
  for (int r = 0; r < y.height; ++r) {
    uint8_t* row = y.base + r * y.bytesPerRow;
    std::memset(row, 0, static_cast<size_t>(y.width));
    std::memset(row, 255, static_cast<size_t>(y.width / 4));
  }
  const PlaneView& uv = b.plane(1);
  std::memset(uv.base, 128, static_cast<size_t>(uv.bytesPerRow * uv.height));
  return b;
}

struct Grey {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  int at(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
};

Grey decode(const std::vector<uint8_t>& jpeg) {
  Grey g;
  tjhandle h = tjInitDecompress();
  int sub = 0, space = 0;
  if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &g.width, &g.height, &sub, &space) == 0) {
    g.pixels.resize(static_cast<size_t>(g.width * g.height));
    if (tjDecompress2(h, jpeg.data(), jpeg.size(), g.pixels.data(), g.width, 0, g.height, TJPF_GRAY,
                      0) != 0)
      g.pixels.clear();
  }
  tjDestroy(h);
  return g;
}

TEST(PreviewRenderer, ScalesTo480WideAndMirrorsLeftToRight) {
  PreviewRenderer renderer;
  auto jpeg = renderer.render(frameWithLeftMark());
  ASSERT_TRUE(jpeg) << jpeg.message();
  ASSERT_GE(jpeg->size(), 4u);
  EXPECT_EQ((*jpeg)[0], 0xFF);
  EXPECT_EQ((*jpeg)[1], 0xD8);
  Grey g = decode(*jpeg);
  ASSERT_FALSE(g.pixels.empty());
  EXPECT_EQ(g.width, 480);
  EXPECT_EQ(g.height, 270);
  // The mark at the camera image's left shows at the preview's right.
  for (int y : {10, 135, 260}) {
    EXPECT_GT(g.at(470, y), 200) << y;
    EXPECT_GT(g.at(380, y), 200) << y;
    EXPECT_LT(g.at(10, y), 40) << y;
    EXPECT_LT(g.at(340, y), 40) << y;
  }
}

TEST(PreviewRenderer, KeepsProportionsAndIsReusable) {
  PreviewRenderer renderer;
  for (int i = 0; i < 2; ++i) {
    auto a = renderer.render(frameWithLeftMark(640, 480));
    ASSERT_TRUE(a);
    Grey g = decode(*a);
    EXPECT_EQ(g.width, 480);
    EXPECT_EQ(g.height, 360);
  }
  auto b = renderer.render(frameWithLeftMark());
  ASSERT_TRUE(b);
  EXPECT_EQ(decode(*b).height, 270);
}

TEST(PreviewRenderer, AnEmptyBufferIsRefused) {
  PreviewRenderer renderer;
  EXPECT_FALSE(renderer.render(PixelBuffer()));
}

}  // namespace
}  // namespace talvex
