#include "platform/media/camera/capture_format.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

namespace talvex::media {
namespace {

CaptureMode mode(uint32_t fourcc, int w, int h, double fps) {
  return {fourcc, w, h, 1000, static_cast<uint32_t>(fps * 1000)};
}

constexpr uint32_t kMjpg = V4L2_PIX_FMT_MJPEG, kJpeg = V4L2_PIX_FMT_JPEG, kYuyv = V4L2_PIX_FMT_YUYV,
                   kNv12 = V4L2_PIX_FMT_NV12, kGrey = V4L2_PIX_FMT_GREY,
                   kBayer = V4L2_PIX_FMT_SBGGR10, kI420 = V4L2_PIX_FMT_YUV420,
                   kUyvy = V4L2_PIX_FMT_UYVY;

TEST(CaptureFormat, TheModeAUserWouldPick) {
  struct Case {
    const char* why;
    std::vector<CaptureMode> offered;
    std::optional<CaptureMode> chosen;
  } cases[] = {
      {"smooth beats slow at the same size",
       {mode(kMjpg, 1280, 720, 5), mode(kYuyv, 1280, 720, 15)},
       mode(kYuyv, 1280, 720, 15)},
      {"a smooth small mode beats a slow 720p one",
       {mode(kYuyv, 1280, 720, 10), mode(kYuyv, 640, 480, 30)},
       mode(kYuyv, 640, 480, 30)},
      {"below 24 fps the faster",
       {mode(kYuyv, 1280, 720, 5), mode(kMjpg, 640, 480, 15)},
       mode(kMjpg, 640, 480, 15)},
      {"23.976 counts as smooth",
       {mode(kNv12, 1280, 720, 23.976), mode(kMjpg, 640, 360, 30)},
       mode(kNv12, 1280, 720, 23.976)},
      {"16:9 at 720p or more before other shapes",
       {mode(kMjpg, 1280, 960, 30), mode(kMjpg, 1920, 1080, 30)},
       mode(kMjpg, 1920, 1080, 30)},
      {"at or above 720p the smallest",
       {mode(kMjpg, 1920, 1080, 30), mode(kMjpg, 1280, 720, 30)},
       mode(kMjpg, 1280, 720, 30)},
      {"below 720p the largest",
       {mode(kYuyv, 320, 240, 30), mode(kYuyv, 640, 480, 30)},
       mode(kYuyv, 640, 480, 30)},
      {"any size of at least 720p before a smaller one",
       {mode(kMjpg, 960, 540, 30), mode(kMjpg, 1280, 800, 30)},
       mode(kMjpg, 1280, 800, 30)},
      {"then the cheaper format: NV12, I420, YUYV or UYVY, JPEG",
       {mode(kMjpg, 1280, 720, 30), mode(kYuyv, 1280, 720, 30), mode(kNv12, 1280, 720, 30)},
       mode(kNv12, 1280, 720, 30)},
      {"I420 before the packed formats",
       {mode(kUyvy, 1280, 720, 30), mode(kI420, 1280, 720, 30), mode(kMjpg, 1280, 720, 30)},
       mode(kI420, 1280, 720, 30)},
      {"UYVY before JPEG",
       {mode(kMjpg, 1280, 720, 30), mode(kUyvy, 1280, 720, 30)},
       mode(kUyvy, 1280, 720, 30)},
      {"the JPEG fourcc is as good as MJPG",
       {mode(kJpeg, 1280, 720, 30)},
       mode(kJpeg, 1280, 720, 30)},
      {"then the rate nearest 30",
       {mode(kMjpg, 1280, 720, 60), mode(kMjpg, 1280, 720, 30)},
       mode(kMjpg, 1280, 720, 30)},
      {"formats we cannot read are never chosen",
       {mode(kGrey, 1280, 720, 30), mode(kBayer, 1920, 1080, 30), mode(kYuyv, 640, 480, 10)},
       mode(kYuyv, 640, 480, 10)},
      {"nothing readable", {mode(kGrey, 640, 480, 30), mode(kBayer, 1280, 720, 30)}, std::nullopt},
      {"nothing offered", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(chooseCaptureMode(c.offered), c.chosen) << c.why;
    // The order in which the device lists its modes does not matter.
    std::vector<CaptureMode> reversed(c.offered.rbegin(), c.offered.rend());
    EXPECT_EQ(chooseCaptureMode(reversed), c.chosen) << c.why << " (reversed)";
  }
}

TEST(CaptureFormat, AClosedDeviceOffersNothing) {
  EXPECT_TRUE(queryCaptureModes(-1, V4L2_BUF_TYPE_VIDEO_CAPTURE).empty());
}

}  // namespace
}  // namespace talvex::media
