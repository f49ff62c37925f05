#include "platform/media/camera/capture_format.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

namespace talvex::media {
namespace {

TEST(CaptureFormat, PrefersFormatsThatReachTheRateThenMjpegNv12Yuyv) {
  const FormatOffer yuyv30{V4L2_PIX_FMT_YUYV, true, {30, 15}};
  const FormatOffer mjpeg30{V4L2_PIX_FMT_MJPEG, true, {30}};
  const FormatOffer nv12at10{V4L2_PIX_FMT_NV12, true, {10}};
  const FormatOffer mjpegNoSize{V4L2_PIX_FMT_MJPEG, false, {}};
  const FormatOffer h264{V4L2_PIX_FMT_H264, true, {30}};

  EXPECT_EQ(chooseCaptureFormat({yuyv30, mjpeg30}, 30), V4L2_PIX_FMT_MJPEG);
  // YUYV at 30 beats NV12 that only reaches 10 frames per second at the size.
  EXPECT_EQ(chooseCaptureFormat({nv12at10, yuyv30}, 30), V4L2_PIX_FMT_YUYV);
  // A format without the size is never asked for, even when preferred.
  EXPECT_EQ(chooseCaptureFormat({mjpegNoSize, nv12at10}, 30), V4L2_PIX_FMT_NV12);
  // 29.97 counts as 30.
  EXPECT_EQ(chooseCaptureFormat({{V4L2_PIX_FMT_NV12, true, {29.97}}, yuyv30}, 30),
            V4L2_PIX_FMT_NV12);
  // Nothing known: the driver's choice.
  EXPECT_EQ(chooseCaptureFormat({h264, mjpegNoSize}, 30), std::nullopt);
  EXPECT_EQ(chooseCaptureFormat({}, 30), std::nullopt);
}

TEST(CaptureFormat, AClosedDeviceOffersNothing) {
  EXPECT_TRUE(queryFormatOffers(-1, 1280, 720).empty());
}

}  // namespace
}  // namespace talvex::media
