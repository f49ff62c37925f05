#include "platform/media/write/movie_rewriter.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/media/read/video_frame_reader.h"
#include "platform/media/testing/media_fixtures.h"

namespace talvex::media {
namespace {

using fixtures::openAsset;
using fixtures::TempDir;

size_t filesIn(const TempDir& dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++n;
  return n;
}

TEST(MovieRewriter, KeepsEveryFrameAtItsTimeAndThePictures) {
  TempDir dir;
  ASSERT_TRUE(fixtures::makeMovie(dir.file("in.mov"), 20, 30, 160, 120));
  const fixtures::VideoReadback in = fixtures::readVideo(dir.file("in.mov"));
  ASSERT_EQ(in.images.size(), 20u);

  auto asset = openAsset(dir.file("in.mov"));
  auto rw =
      MovieRewriter::open(*asset, asset->tracks(MediaType::Video).front(), dir.file("out.mp4"));
  ASSERT_TRUE(rw) << rw.message();
  for (size_t i = 0; i < in.images.size(); ++i)
    ASSERT_TRUE((*rw)->append(in.images[i], in.times[i]));
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.mp4"))) << "appears only when finished";
  ASSERT_TRUE((*rw)->finish());
  EXPECT_FALSE((*rw)->finish());

  const fixtures::VideoReadback out = fixtures::readVideo(dir.file("out.mp4"));
  ASSERT_EQ(out.times.size(), in.times.size());
  for (size_t i = 0; i < out.times.size(); ++i) {
    // Times relative to the first frame, as the analysis counts them, stay within a tick.
    const double a = subtract(in.times[i], in.times[0]).seconds();
    const double b = subtract(out.times[i], out.times[0]).seconds();
    EXPECT_NEAR(a, b, 1e-3) << i;
  }
  // The pictures survive the re-encoding: the test pattern's luma nearly unchanged.
  const PlaneView& y0 = in.images[10].plane(0);
  const PlaneView& y1 = out.images[10].plane(0);
  double diff = 0;
  for (int r = 0; r < y0.height; r += 4)
    for (int c = 0; c < y0.width; c += 4)
      diff += std::abs(int(y0.base[r * y0.bytesPerRow + c]) - int(y1.base[r * y1.bytesPerRow + c]));
  EXPECT_LT(diff / ((y0.height / 4) * (y0.width / 4)), 6.0);
  EXPECT_EQ(filesIn(dir), 2u);  // no temporary file left
}

TEST(MovieRewriter, AnAbandonedRewriteLeavesNothingAndWrongFramesAreRefused) {
  TempDir dir;
  ASSERT_TRUE(fixtures::makeMovie(dir.file("in.mov"), 3, 30, 160, 120));
  auto asset = openAsset(dir.file("in.mov"));
  const AssetTrack video = asset->tracks(MediaType::Video).front();
  {
    auto rw = MovieRewriter::open(*asset, video, dir.file("out.mov"));
    ASSERT_TRUE(rw) << rw.message();
    EXPECT_FALSE((*rw)->append(PixelBuffer::allocateNV12(320, 240), MediaTime::make(0, 30)));
    EXPECT_TRUE((*rw)->append(PixelBuffer::allocateNV12(160, 120), MediaTime::make(0, 30)));
    EXPECT_EQ(filesIn(dir), 2u);  // the input and the hidden temporary file
  }
  EXPECT_EQ(filesIn(dir), 1u);
  EXPECT_FALSE(MovieRewriter::open(*asset, video, dir.file("out.unknownformat")));
  EXPECT_FALSE(MovieRewriter::open(*asset, video, dir.file("missing/out.mp4")));
  EXPECT_EQ(filesIn(dir), 1u);
}

}  // namespace
}  // namespace talvex::media
