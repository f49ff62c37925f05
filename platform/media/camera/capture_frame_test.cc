#include "platform/media/camera/capture_frame.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace talvex::media {
namespace {

uint8_t lumaAt(const PixelBuffer& b, int x, int y) {
  return b.plane(0).base[y * b.plane(0).bytesPerRow + x];
}
uint8_t cbAt(const PixelBuffer& b, int x, int y) {
  return b.plane(1).base[(y / 2) * b.plane(1).bytesPerRow + (x / 2) * 2];
}

// YUYV with luma `y` on the left half and `y2` on the right, chroma `c`.
std::vector<uint8_t> yuyv(int w, int h, uint8_t y, uint8_t y2, uint8_t c) {
  std::vector<uint8_t> out(size_t(w) * h * 2);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) {
      out[size_t(r) * w * 2 + size_t(x) * 2] = x < w / 2 ? y : y2;
      out[size_t(r) * w * 2 + size_t(x) * 2 + 1] = c;
    }
  return out;
}

TEST(CaptureFrame, LimitedRangeYuyvIsStretchedToFullRange) {
  const auto data = yuyv(64, 32, 16, 235, 240);
  auto img = CaptureConverter().convert({CaptureFormat::Yuyv, 64, 32, 128, false}, data.data(),
                                        data.size(), 64, 32);
  ASSERT_TRUE(img) << img.message();
  EXPECT_EQ(lumaAt(*img, 0, 0), 0);
  EXPECT_EQ(lumaAt(*img, 63, 31), 255);
  EXPECT_EQ(cbAt(*img, 0, 0), 255);
  // Full-range frames are left as they are.
  const auto full = yuyv(64, 32, 16, 235, 100);
  img = CaptureConverter().convert({CaptureFormat::Yuyv, 64, 32, 0, true}, full.data(), full.size(),
                                   64, 32);
  ASSERT_TRUE(img);
  EXPECT_EQ(lumaAt(*img, 0, 0), 16);
  EXPECT_EQ(cbAt(*img, 0, 0), 100);
}

// Every 8-bit value, luma and chroma, against the rounding the frame image asks for: the
// nearest full-range value, halves away from the middle, clamped.
TEST(CaptureFrame, EveryLimitedRangeValueStretchesToTheNearestFullRangeValue) {
  const int w = 512, h = 2;  // 256 pixel pairs: each carries value v as luma, Cb and Cr
  std::vector<uint8_t> data(size_t(w) * h * 2);
  for (int r = 0; r < h; ++r)
    for (int v = 0; v < 256; ++v)
      for (int k = 0; k < 4; ++k) data[size_t(r) * w * 2 + size_t(v) * 4 + size_t(k)] = uint8_t(v);
  auto img = CaptureConverter().convert({CaptureFormat::Yuyv, w, h, 0, false}, data.data(),
                                        data.size(), w, h);
  ASSERT_TRUE(img) << img.message();
  // std::round takes halves away from zero: chroma is rounded as a distance from 128.
  auto clamped = [](double x) { return std::clamp(static_cast<int>(x), 0, 255); };
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(lumaAt(*img, 2 * v, 0), clamped(std::round((v - 16) * 255.0 / 219.0))) << v;
    EXPECT_EQ(cbAt(*img, 2 * v, 0), clamped(128 + std::round((v - 128) * 255.0 / 224.0))) << v;
  }
}

TEST(CaptureFrame, Nv12WithPaddedRowsAndScalingToTheWantedSize) {
  // 40x20 with rows padded to 48 bytes: luma 126 (limited) becomes 128 in full range.
  const int w = 40, h = 20, stride = 48;
  std::vector<uint8_t> data(size_t(stride) * h * 3 / 2, 128);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) data[size_t(r) * stride + x] = 126;
  auto img = CaptureConverter().convert({CaptureFormat::Nv12, w, h, stride, false}, data.data(),
                                        data.size(), 80, 40);
  ASSERT_TRUE(img) << img.message();
  EXPECT_EQ(img->width(), 80);
  EXPECT_EQ(img->height(), 40);
  EXPECT_NEAR(lumaAt(*img, 79, 39), 128, 1);
  // A buffer shorter than the layout says is refused, not read past.
  EXPECT_FALSE(CaptureConverter().convert({CaptureFormat::Nv12, w, h, stride, false}, data.data(),
                                          data.size() / 2, 80, 40));
}

// One picture in every raw layout: luma 40 on the left half and 200 on the right, Cb 90 and
// Cr 170 everywhere, full range, rows padded to `stride` bytes (of the first plane).
std::vector<uint8_t> rawPicture(CaptureFormat f, int w, int h, int stride) {
  const auto luma = [&](int x) { return uint8_t(x < w / 2 ? 40 : 200); };
  std::vector<uint8_t> out;
  switch (f) {
    case CaptureFormat::Yuyv:
    case CaptureFormat::Uyvy: {
      out.assign(size_t(stride) * h, 0);
      const bool yFirst = f == CaptureFormat::Yuyv;
      for (int r = 0; r < h; ++r)
        for (int x = 0; x < w; ++x) {
          uint8_t* px = &out[size_t(r) * stride + size_t(x) * 2];
          px[yFirst ? 0 : 1] = luma(x);
          px[yFirst ? 1 : 0] = x % 2 == 0 ? 90 : 170;
        }
      break;
    }
    case CaptureFormat::Nv12:
    case CaptureFormat::I420: {
      const size_t lumaBytes = size_t(stride) * h;
      out.assign(lumaBytes * 3 / 2, 0);
      for (int r = 0; r < h; ++r)
        for (int x = 0; x < w; ++x) out[size_t(r) * stride + x] = luma(x);
      for (int r = 0; r < h / 2; ++r)
        for (int x = 0; x < w / 2; ++x) {
          if (f == CaptureFormat::Nv12) {
            out[lumaBytes + size_t(r) * stride + size_t(x) * 2] = 90;
            out[lumaBytes + size_t(r) * stride + size_t(x) * 2 + 1] = 170;
          } else {
            out[lumaBytes + size_t(r) * (stride / 2) + x] = 90;
            out[lumaBytes + lumaBytes / 4 + size_t(r) * (stride / 2) + x] = 170;
          }
        }
      break;
    }
    case CaptureFormat::Mjpeg:
      break;
  }
  return out;
}

TEST(CaptureFrame, EveryRawLayoutGivesTheSamePicture) {
  const int w = 64, h = 32;
  struct Case {
    CaptureFormat format;
    int stride;
  } cases[] = {{CaptureFormat::Yuyv, 160}, {CaptureFormat::Uyvy, 128}, {CaptureFormat::Uyvy, 144},
               {CaptureFormat::Nv12, 64},  {CaptureFormat::I420, 64},  {CaptureFormat::I420, 80}};
  for (const Case& c : cases) {
    const auto data = rawPicture(c.format, w, h, c.stride);
    const CaptureLayout layout{c.format, w, h, c.stride, true};
    auto img = CaptureConverter().convert(layout, data.data(), data.size(), w, h);
    ASSERT_TRUE(img) << int(c.format) << " stride " << c.stride << ": " << img.message();
    EXPECT_EQ(lumaAt(*img, 3, 5), 40) << int(c.format) << " stride " << c.stride;
    EXPECT_EQ(lumaAt(*img, 60, 30), 200) << int(c.format) << " stride " << c.stride;
    EXPECT_EQ(cbAt(*img, 10, 10), 90) << int(c.format) << " stride " << c.stride;
    EXPECT_EQ(img->plane(1).base[5 * img->plane(1).bytesPerRow + 11], 170)
        << int(c.format) << " stride " << c.stride << " (Cr)";
    // A buffer a byte short of the layout is refused, not read past.
    EXPECT_FALSE(CaptureConverter().convert(layout, data.data(), data.size() - 1, w, h))
        << int(c.format) << " stride " << c.stride;
  }
}

// A JPEG of black on the left half and white on the right, as a camera would send it.
std::vector<uint8_t> halfWhiteJpeg(int w, int h, int subsamp) {
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) rgb[(size_t(r) * w + x) * 3 + c] = x < w / 2 ? 0 : 255;
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> bytes;
  if (tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, subsamp, 95, 0) == 0)
    bytes.assign(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(tj);
  return bytes;
}

TEST(CaptureFrame, CameraJpegIsDecodedAndDamagedOnesRefused) {
  const int w = 64, h = 32;
  CaptureConverter converter;
  for (int subsamp : {TJSAMP_420, TJSAMP_422, TJSAMP_444, TJSAMP_GRAY}) {
    const auto bytes = halfWhiteJpeg(w, h, subsamp);
    ASSERT_FALSE(bytes.empty());
    auto img =
        converter.convert({CaptureFormat::Mjpeg, w, h, 0, true}, bytes.data(), bytes.size(), w, h);
    ASSERT_TRUE(img) << img.message() << " subsampling " << subsamp;
    EXPECT_LT(lumaAt(*img, 4, 16), 8) << subsamp;  // full range: black stays near 0
    EXPECT_GT(lumaAt(*img, 60, 16), 247) << subsamp;
    EXPECT_NEAR(cbAt(*img, 60, 16), 128, 3) << subsamp;  // white is white, not tinted
  }
  const auto bytes = halfWhiteJpeg(w, h, TJSAMP_422);
  // A truncated frame, as a USB camera sometimes gives, is refused.
  EXPECT_FALSE(converter.convert({CaptureFormat::Mjpeg, w, h, 0, true}, bytes.data(), 20, w, h));
  // So is one whose size is not the negotiated one.
  EXPECT_FALSE(converter.convert({CaptureFormat::Mjpeg, w * 2, h, 0, true}, bytes.data(),
                                 bytes.size(), w * 2, h));
}

TEST(CaptureFrame, AJpegTheDecoderOnlyWarnsAboutIsUsedOneCutShortIsNot) {
  const int w = 64, h = 32;
  const auto whole = halfWhiteJpeg(w, h, TJSAMP_420);
  ASSERT_GT(whole.size(), 100u);
  // Stray bytes before the end marker: libjpeg warns "extraneous bytes before marker 0xd9".
  std::vector<uint8_t> stray(whole.begin(), whole.end() - 2);
  for (uint8_t b : {0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78}) stray.push_back(b);
  stray.insert(stray.end(), {0xFF, 0xD9, 0, 0, 0});  // and padding after the marker
  // Cut after the header, so that only the picture is missing.
  const std::vector<uint8_t> cut(whole.begin(), whole.begin() + whole.size() * 2 / 3);
  CaptureConverter converter;
  auto warned =
      converter.convert({CaptureFormat::Mjpeg, w, h, 0, true}, stray.data(), stray.size(), w, h);
  ASSERT_TRUE(warned) << warned.message();
  EXPECT_GT(lumaAt(*warned, 60, 30), 247);
  EXPECT_FALSE(
      converter.convert({CaptureFormat::Mjpeg, w, h, 0, true}, cut.data(), cut.size(), w, h));
}

// Where the bright pixels of a frame lie: {left, top, right, bottom}, inclusive.
std::array<int, 4> brightBox(const PixelBuffer& b) {
  std::array<int, 4> box{b.width(), b.height(), -1, -1};
  for (int y = 0; y < b.height(); ++y)
    for (int x = 0; x < b.width(); ++x)
      if (lumaAt(b, x, y) > 128)
        box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x), std::max(box[3], y)};
  return box;
}

TEST(CaptureFrame, APictureOfAnotherShapeKeepsItsShapeBetweenBlackBars) {
  struct Case {
    int w, h;
    std::array<int, 4> whiteIn720p;  // a white picture fills exactly this
  } cases[] = {
      {640, 480, {160, 0, 1119, 719}},  // 4:3: bars left and right
      {1280, 800, {64, 0, 1215, 719}},  // 16:10
      {1920, 800, {0, 94, 1279, 625}},  // wider than 16:9: bars above and below
      {1920, 1080, {0, 0, 1279, 719}},  // 16:9: scaled, no bars
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> white(size_t(c.w) * c.h * 2);
    for (size_t i = 0; i < white.size(); i += 2) white[i] = 235, white[i + 1] = 128;
    auto img = CaptureConverter().convert({CaptureFormat::Yuyv, c.w, c.h, 0, false}, white.data(),
                                          white.size(), 1280, 720);
    ASSERT_TRUE(img) << c.w << "x" << c.h;
    EXPECT_EQ(brightBox(*img), c.whiteIn720p) << c.w << "x" << c.h;
    EXPECT_EQ(lumaAt(*img, 0, 0) < 16, c.whiteIn720p[0] > 0 || c.whiteIn720p[1] > 0);
    EXPECT_NEAR(cbAt(*img, 0, 0), 128, 1);  // black bars, not green ones
  }
}

}  // namespace
}  // namespace talvex::media

namespace talvex::media {
namespace {

// A camera JPEG larger than the frame is decoded at one of libjpeg's reduced sizes and then
// scaled: the picture must land where a full decode would put it, with every subsampling's
// plane sizes right at the reduced size (a wrong chroma plane shows as a tinted or shifted
// picture).
TEST(CaptureFrame, ALargeCameraJpegDecodedReducedFillsTheFrameAsAFullDecodeWould) {
  struct Case {
    int w, h, subsamp;
  } cases[] = {
      {1920, 1080, TJSAMP_420},  {1920, 1080, TJSAMP_422}, {1920, 1080, TJSAMP_444},
      {1920, 1080, TJSAMP_GRAY}, {2560, 1440, TJSAMP_422}, {3840, 2160, TJSAMP_420},
      {1920, 1200, TJSAMP_422},  {1280, 720, TJSAMP_422},  {640, 480, TJSAMP_420},
  };
  for (const Case& c : cases) {
    // White in the middle half of the picture, black around it.
    std::vector<uint8_t> rgb(size_t(c.w) * c.h * 3);
    for (int r = 0; r < c.h; ++r)
      for (int x = 0; x < c.w; ++x) {
        const bool white = x >= c.w / 4 && x < c.w * 3 / 4 && r >= c.h / 4 && r < c.h * 3 / 4;
        std::fill_n(&rgb[(size_t(r) * c.w + x) * 3], 3, white ? 255 : 0);
      }
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(tj, rgb.data(), c.w, 0, c.h, TJPF_RGB, &jpeg, &size, c.subsamp, 90, 0),
              0);
    std::vector<uint8_t> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(tj);
    auto img = CaptureConverter().convert({CaptureFormat::Mjpeg, c.w, c.h, 0, true}, bytes.data(),
                                          bytes.size(), 1280, 720);
    const std::string what = std::to_string(c.w) + "x" + std::to_string(c.h) + " subsampling " +
                             std::to_string(c.subsamp);
    ASSERT_TRUE(img) << img.message() << " " << what;
    ASSERT_EQ(img->width(), 1280);
    ASSERT_EQ(img->height(), 720);
    const FitRect fit = fitInside(c.w, c.h, 1280, 720);
    const std::array<int, 4> want{fit.x + fit.width / 4, fit.y + fit.height / 4,
                                  fit.x + fit.width * 3 / 4 - 1, fit.y + fit.height * 3 / 4 - 1};
    const std::array<int, 4> got = brightBox(*img);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(got[i], want[i], 2) << what << " edge " << i;
    EXPECT_GT(lumaAt(*img, 640, 360), 247) << what;
    EXPECT_NEAR(cbAt(*img, 640, 360), 128, 3) << what;  // white, not tinted
    EXPECT_LT(lumaAt(*img, 2, 2), 8) << what;
    EXPECT_NEAR(cbAt(*img, 2, 2), 128, 3) << what;
  }
}

}  // namespace
}  // namespace talvex::media
