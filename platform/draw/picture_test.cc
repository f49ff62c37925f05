#include "platform/draw/picture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/draw/canvas.h"

namespace talvex::draw {
namespace {

// NV12 full range of one colour: luma `y`, chroma `u`/`v`.
PixelBuffer solidFrame(int w, int h, uint8_t y, uint8_t u, uint8_t v) {
  PixelBuffer f = PixelBuffer::allocateNV12(w, h);
  const PlaneView& py = f.plane(0);
  for (int r = 0; r < py.height; ++r) std::memset(py.base + r * py.bytesPerRow, y, py.width);
  const PlaneView& puv = f.plane(1);
  for (int r = 0; r < puv.height; ++r)
    for (int c = 0; c < puv.width; ++c) {
      puv.base[r * puv.bytesPerRow + 2 * c] = u;
      puv.base[r * puv.bytesPerRow + 2 * c + 1] = v;
    }
  return f;
}

TEST(Picture, FrameColoursSurviveTheRoundTrip) {
  // Full-range BT.601: Y 81 U 90 V 240 is a saturated red; grey stays grey.
  struct Case {
    uint8_t y, u, v;
  } cases[] = {{81, 90, 240}, {128, 128, 128}, {0, 128, 128}, {255, 128, 128}};
  for (const Case& c : cases) {
    auto pic = Picture::fromFrame(solidFrame(64, 36, c.y, c.u, c.v));
    ASSERT_TRUE(pic) << pic.message();
    EXPECT_EQ(pic->width(), 64);
    EXPECT_EQ(pic->height(), 36);
    EXPECT_EQ(pic->pixel(10, 10).a, 255);
    PixelBuffer back = PixelBuffer::allocateNV12(64, 36);
    ASSERT_TRUE(pic->toFrame(back));
    EXPECT_NEAR(back.plane(0).base[5 * back.plane(0).bytesPerRow + 7], c.y, 2);
    EXPECT_NEAR(back.plane(1).base[3 * back.plane(1).bytesPerRow + 8], c.u, 3);
    EXPECT_NEAR(back.plane(1).base[3 * back.plane(1).bytesPerRow + 9], c.v, 3);
  }
  auto red = Picture::fromFrame(solidFrame(16, 16, 81, 90, 240));
  ASSERT_TRUE(red);
  Rgba p = red->pixel(3, 3);
  EXPECT_GT(p.r, 230);
  EXPECT_LT(p.g, 30);
  EXPECT_LT(p.b, 30);
}

TEST(Picture, RefusesMismatchedFramesAndEmptySizes) {
  auto pic = Picture::create(32, 18);
  ASSERT_TRUE(pic);
  PixelBuffer other = PixelBuffer::allocateNV12(30, 18);
  EXPECT_FALSE(pic->toFrame(other));
  PixelBuffer none;
  EXPECT_FALSE(Picture::fromFrame(none));
  EXPECT_FALSE(Picture::create(0, 10));
  EXPECT_EQ(pic->pixel(-1, 0).a, 0);
  EXPECT_EQ(pic->pixel(32, 0).a, 0);
  EXPECT_EQ(pic->pixel(31, 17).a, 255);  // opaque black
}

TEST(Picture, WritesAPngThatReadsBackAndLeavesNoTemporary) {
  auto pic = Picture::create(40, 20);
  ASSERT_TRUE(pic);
  {
    Canvas c(*pic);
    c.setColour({0, 1, 0});
    c.rectangle(20, 0, 20, 20, true);
  }
  const auto dir =
      std::filesystem::temp_directory_path() / ("draw_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto path = (dir / "out.png").string();
  ASSERT_TRUE(pic->writePng(path));
  std::ifstream in(path, std::ios::binary);
  char sig[8] = {};
  in.read(sig, 8);
  EXPECT_EQ(std::memcmp(sig, "\x89PNG\r\n\x1a\n", 8), 0);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 1u);
  EXPECT_FALSE(pic->writePng((dir / "missing" / "out.png").string()));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace talvex::draw
