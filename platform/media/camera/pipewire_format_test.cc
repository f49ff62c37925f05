#include "platform/media/camera/pipewire_format.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <climits>
#include <vector>

namespace talvex::media {
namespace {

constexpr uint32_t kMjpg = V4L2_PIX_FMT_MJPEG, kYuyv = V4L2_PIX_FMT_YUYV, kUyvy = V4L2_PIX_FMT_UYVY,
                   kNv12 = V4L2_PIX_FMT_NV12, kI420 = V4L2_PIX_FMT_YUV420;

CaptureMode mode(uint32_t fourcc, int w, int h, uint32_t fps) { return {fourcc, w, h, 1, fps}; }

// A pod builder over its own memory.
struct Pods {
  std::vector<uint8_t> memory = std::vector<uint8_t>(4096);
  spa_pod_builder b = SPA_POD_BUILDER_INIT(memory.data(), uint32_t(memory.size()));
};

TEST(PipewireFormat, TheModesANodeOffers) {
  Pods p;
  const spa_rectangle s320{320, 240}, s1{1, 1}, sMax{INT32_MAX, INT32_MAX}, s1080{1920, 1080},
      s480{640, 480}, s352{352, 288}, s4k{3840, 2160};
  const spa_fraction r25{25, 1}, r0{0, 1}, rMax{INT32_MAX, 1}, r30{30, 1}, r15{15, 1}, r10{10, 1},
      r24{24, 1};
  struct Case {
    const char* why;
    const spa_pod* param;
    std::vector<CaptureMode> modes;
  } cases[] = {
      {"PipeWire's test source: any size and rate, RGB or UYVY",
       static_cast<const spa_pod*>(spa_pod_builder_add_object(
           &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
           SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
           SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
           SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_RGB, SPA_VIDEO_FORMAT_RGB,
                                  SPA_VIDEO_FORMAT_UYVY),
           SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&s320, &s1, &sMax),
           SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&r25, &r0, &rMax))),
       {mode(kUyvy, 1280, 720, 30)}},
      {"a webcam's MJPEG size with its listed rates",
       static_cast<const spa_pod*>(spa_pod_builder_add_object(
           &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
           SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
           SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&s1080),
           SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_ENUM_Fraction(3, &r30, &r30, &r15))),
       {mode(kMjpg, 1920, 1080, 30), mode(kMjpg, 1920, 1080, 15)}},
      {"raw formats we read, and one we do not",
       static_cast<const spa_pod*>(spa_pod_builder_add_object(
           &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
           SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
           SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
           SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YUY2,
                                  SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_I420,
                                  SPA_VIDEO_FORMAT_BGRx),
           SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_ENUM_Rectangle(3, &s480, &s480, &s352),
           SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&r30))),
       {mode(kYuyv, 640, 480, 30), mode(kYuyv, 352, 288, 30), mode(kNv12, 640, 480, 30),
        mode(kNv12, 352, 288, 30), mode(kI420, 640, 480, 30), mode(kI420, 352, 288, 30)}},
      {"a range of sizes without 720p and rates below 30: its largest and fastest",
       static_cast<const spa_pod*>(spa_pod_builder_add_object(
           &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
           SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
           SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
           SPA_POD_Id(SPA_VIDEO_FORMAT_NV12), SPA_FORMAT_VIDEO_size,
           SPA_POD_CHOICE_RANGE_Rectangle(&s4k, &s1080, &s4k), SPA_FORMAT_VIDEO_framerate,
           SPA_POD_CHOICE_RANGE_Fraction(&r10, &r10, &r24))),
       {mode(kNv12, 3840, 2160, 24)}},
      {"no rate given: 30",
       static_cast<const spa_pod*>(spa_pod_builder_add_object(
           &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
           SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
           SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&s480))),
       {mode(kMjpg, 640, 480, 30)}},
      {"only formats we cannot read",
       static_cast<const spa_pod*>(spa_pod_builder_add_object(
           &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
           SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
           SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
           SPA_POD_Id(SPA_VIDEO_FORMAT_RGB), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&s1080))),
       {}},
      {"not video",
       static_cast<const spa_pod*>(
           spa_pod_builder_add_object(&p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
                                      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_audio),
                                      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw))),
       {}},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.param, nullptr) << c.why;
    EXPECT_EQ(pipewireCaptureModes(c.param), c.modes) << c.why;
  }
  EXPECT_TRUE(pipewireCaptureModes(nullptr).empty());
  // The test source's modes rank as V4L2's would: 1280x720 at 30 fps.
  EXPECT_EQ(chooseCaptureMode(pipewireCaptureModes(cases[0].param)), mode(kUyvy, 1280, 720, 30));
}

TEST(PipewireFormat, TheAskedFormatDescribesTheModeAndItsFrames) {
  struct Case {
    CaptureMode mode;
    CaptureFormat layout;
  } cases[] = {{mode(kUyvy, 1280, 720, 30), CaptureFormat::Uyvy},
               {mode(kYuyv, 640, 480, 30), CaptureFormat::Yuyv},
               {mode(kNv12, 1920, 1080, 60), CaptureFormat::Nv12},
               {mode(kI420, 1280, 720, 25), CaptureFormat::I420},
               {mode(kMjpg, 1280, 720, 30), CaptureFormat::Mjpeg}};
  for (const Case& c : cases) {
    Pods p;
    const spa_pod* format = buildPipewireFormat(&p.b, c.mode);
    ASSERT_NE(format, nullptr);
    // A node offering exactly this format offers exactly this mode.
    EXPECT_EQ(pipewireCaptureModes(format), std::vector<CaptureMode>{c.mode}) << c.mode.fourcc;
    const auto layout = pipewireLayout(format);
    ASSERT_TRUE(layout) << c.mode.fourcc;
    EXPECT_EQ(layout->format, c.layout);
    EXPECT_EQ(layout->width, c.mode.width);
    EXPECT_EQ(layout->height, c.mode.height);
    EXPECT_EQ(layout->fullRange, c.layout == CaptureFormat::Mjpeg) << "raw is limited range";
  }
  // A full-range raw format says so.
  Pods p;
  const spa_rectangle size{64, 32};
  const auto* full = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_YUY2), SPA_FORMAT_VIDEO_size,
      SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_colorRange,
      SPA_POD_Id(SPA_VIDEO_COLOR_RANGE_0_255)));
  ASSERT_TRUE(pipewireLayout(full));
  EXPECT_TRUE(pipewireLayout(full)->fullRange);
  const auto* rgb = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &p.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_RGB), SPA_FORMAT_VIDEO_size,
      SPA_POD_Rectangle(&size)));
  EXPECT_FALSE(pipewireLayout(rgb));
}

}  // namespace
}  // namespace talvex::media
