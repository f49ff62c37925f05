// The analysis takes the decoder's own 4:2:0 picture and converts it to RGB in one step; these
// tests hold that RGB to what the NV12 route (swscale to full range, then BT.601 to RGB) gives
// on real decoded frames, in both ranges, and check the BT.709 matrix and the fallbacks.
#include "platform/media/read/decoded_picture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/media/read/video_frame_reader.h"
#include "platform/media/testing/media_fixtures.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/testing/photos.h"

namespace talvex::media {
namespace {

using fixtures::TempDir;
using vision::RgbImage;

struct Pictures {
  std::vector<PixelBuffer> picture;  // picture(), as the analysis takes it
  std::vector<PixelBuffer> image;    // image(), NV12 full range
};

// The first `most` frames of the movie.
Pictures decode(const std::string& path, size_t most = 8) {
  Pictures p;
  auto asset = fixtures::openAsset(path);
  auto tracks = asset->tracks(MediaType::Video);
  EXPECT_FALSE(tracks.empty());
  if (tracks.empty()) return p;
  auto reader = VideoFrameReader::create(*asset, tracks.front());
  EXPECT_TRUE(reader && (*reader)->start());
  if (!reader) return p;
  while (p.picture.size() < most && (*reader)->nextFrame()) {
    auto picture = (*reader)->picture();
    auto image = (*reader)->image();
    EXPECT_TRUE(picture && image);
    if (!picture || !image) break;
    p.picture.push_back(picture.value());
    p.image.push_back(image.value());
  }
  return p;
}

RgbImage rgbOf(const PixelBuffer& b) {
  RgbImage rgb;
  EXPECT_TRUE(convertToRgb(b, rgb));
  return rgb;
}

struct Difference {
  double mean = 0;  // mean absolute difference per channel value
  int max = 0;
};

Difference compare(const RgbImage& a, const RgbImage& b) {
  Difference d;
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return {255, 255};
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    const int diff = std::abs(int(a.pixels[i]) - int(b.pixels[i]));
    sum += diff;
    d.max = std::max(d.max, diff);
  }
  d.mean = sum / static_cast<double>(a.pixels.size());
  return d;
}

// The first frames of the webcam clip, re-encoded with `args` (pixel format, range, matrix).
bool webcamFrames(const std::string& out, const std::vector<std::string>& args) {
  std::vector<std::string> all{"-i", vision::testing::webcamClipPath(), "-frames:v", "4"};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back(out);
  return fixtures::ffmpeg(all);
}

// Every decoded frame: the one-step RGB is close to the NV12 route's (both read chroma as it
// is; they differ by the rounding of swscale's range expansion).
void expectSameRgbBothWays(const std::string& movie, YuvRange range, int frames) {
  const Pictures p = decode(movie);
  ASSERT_EQ(p.picture.size(), static_cast<size_t>(frames));
  for (size_t i = 0; i < p.picture.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    ASSERT_EQ(p.picture[i].layout(), PixelLayout::I420);
    EXPECT_EQ(p.picture[i].range(), range);
    EXPECT_EQ(p.picture[i].matrix(), YuvMatrix::BT601);
    const Difference d = compare(rgbOf(p.picture[i]), rgbOf(p.image[i]));
    EXPECT_LT(d.mean, 0.6);
    EXPECT_LE(d.max, 4);
  }
}

TEST(DecodedPicture, LimitedAndFullRangeFramesGiveTheRgbOfTheNv12Route) {
  // The clip as it is: limited range, matrix unspecified (taken as BT.601).
  expectSameRgbBothWays(vision::testing::webcamClipPath(), YuvRange::Limited, 8);
  TempDir dir;
  const std::string full = dir.file("full.mp4");
  ASSERT_TRUE(webcamFrames(full, {"-vf", "scale=out_range=full", "-pix_fmt", "yuv420p",
                                  "-color_range", "pc", "-c:v", "libx264", "-qp", "0"}));
  expectSameRgbBothWays(full, YuvRange::Full, 4);
  const std::string jpeg = dir.file("jpeg.mp4");
  ASSERT_TRUE(webcamFrames(jpeg, {"-pix_fmt", "yuvj420p", "-c:v", "libx264", "-qp", "0"}));
  expectSameRgbBothWays(jpeg, YuvRange::Full, 4);
}

TEST(DecodedPicture, Bt709FramesUseTheirOwnMatrix) {
  // A saturated colour stored once with the BT.601 matrix and once with BT.709 gives the same
  // RGB both ways; read with the BT.601 matrix, the BT.709 one comes out visibly off.
  TempDir dir;
  const std::string m601 = dir.file("601.mp4"), m709 = dir.file("709.mp4");
  auto still = [&](const std::string& out, const std::string& matrix, const std::string& tag) {
    return fixtures::ffmpeg(
        {"-f", "lavfi", "-i", "color=c=0xC02830:size=64x48:duration=0.04", "-vf",
         "format=gbrp,scale=out_color_matrix=" + matrix + ":out_range=tv", "-pix_fmt", "yuv420p",
         "-colorspace", tag, "-color_range", "tv", "-c:v", "libx264", "-qp", "0", out});
  };
  ASSERT_TRUE(still(m601, "bt601", "smpte170m"));
  ASSERT_TRUE(still(m709, "bt709", "bt709"));
  const Pictures a = decode(m601), b = decode(m709);
  ASSERT_EQ(a.picture.size(), 1u);
  ASSERT_EQ(b.picture.size(), 1u);
  EXPECT_EQ(a.picture[0].matrix(), YuvMatrix::BT601);
  ASSERT_EQ(b.picture[0].matrix(), YuvMatrix::BT709);
  const Difference same = compare(rgbOf(a.picture[0]), rgbOf(b.picture[0]));
  PixelBuffer misread =
      PixelBuffer::wrapI420(b.picture[0].width(), b.picture[0].height(),
                            {b.picture[0].plane(0), b.picture[0].plane(1), b.picture[0].plane(2)},
                            b.picture[0].range(), YuvMatrix::BT601, nullptr);
  const Difference off = compare(rgbOf(a.picture[0]), rgbOf(misread));
  EXPECT_LE(same.max, 2);
  EXPECT_GT(off.mean, 5);
}

TEST(DecodedPicture, OtherPictureFormatsComeConvertedToNv12) {
  TempDir dir;
  const std::string p422 = dir.file("422.mp4"), p10 = dir.file("10bit.mp4");
  ASSERT_TRUE(webcamFrames(p422, {"-pix_fmt", "yuv422p", "-c:v", "libx264"}));
  ASSERT_TRUE(webcamFrames(p10, {"-pix_fmt", "yuv420p10le", "-c:v", "libx264"}));
  const Pictures ref = decode(vision::testing::webcamClipPath());
  ASSERT_GE(ref.picture.size(), 4u);
  for (const std::string& movie : {p422, p10}) {
    SCOPED_TRACE(movie);
    const Pictures p = decode(movie);
    ASSERT_EQ(p.picture.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(p.picture[i].layout(), PixelLayout::NV12);
      EXPECT_EQ(p.picture[i].planeCount(), 2);
      EXPECT_EQ(p.picture[i].range(), YuvRange::Full);
      // Re-encoding loses a little; the picture is still the clip's.
      EXPECT_LT(compare(rgbOf(p.picture[i]), rgbOf(ref.picture[i])).mean, 4.0);
    }
  }
}

TEST(DecodedPicture, OddSizedFramesConvertWhole) {
  // Chroma rounds up: the last column and row have chroma of their own.
  TempDir dir;
  const std::string odd = dir.file("odd.mkv");
  ASSERT_TRUE(webcamFrames(odd, {"-vf", "scale=397:293", "-pix_fmt", "yuv420p", "-c:v", "ffv1"}));
  const Pictures p = decode(odd);
  ASSERT_EQ(p.picture.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(p.picture[i].layout(), PixelLayout::I420);
    EXPECT_EQ(p.picture[i].width(), 397);
    EXPECT_EQ(p.picture[i].plane(1).width, 199);
    EXPECT_EQ(p.picture[i].plane(2).height, 147);
    const Difference d = compare(rgbOf(p.picture[i]), rgbOf(p.image[i]));
    EXPECT_LT(d.mean, 0.6);
    EXPECT_LE(d.max, 4);
  }
}

TEST(DecodedPicture, OutlivesTheReaderThatMadeIt) {
  // The picture holds its own reference to the decoder's memory.
  PixelBuffer kept, copy;
  {
    const Pictures p = decode(vision::testing::webcamClipPath());
    ASSERT_FALSE(p.picture.empty());
    kept = p.picture.back();
    copy = p.image.back();
  }
  const Difference d = compare(rgbOf(kept), rgbOf(copy));
  EXPECT_LT(d.mean, 0.6);
}

}  // namespace
}  // namespace talvex::media
