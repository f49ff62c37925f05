#include "platform/media/camera/capture_format.h"

#include <linux/videodev2.h>

#include <cmath>
#include <tuple>

#include "platform/media/camera/v4l2_ioctl.h"

namespace talvex::media {
namespace {

constexpr int kWantedWidth = 1280;
constexpr int kWantedHeight = 720;
// 23.976 is film rate and smooth enough; anything below 24 is a slide show.
constexpr double kSmoothFps = 23.9;
constexpr double kPreferredFps = 30;

int conversionCost(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_NV12:
      return 0;  // a copy
    case V4L2_PIX_FMT_YUV420:
      return 1;  // luma copied, chroma interleaved
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
      return 2;  // every byte repacked
    default:
      return 3;  // JPEG: a decode per frame
  }
}

int sizeClass(const CaptureMode& m) {
  const bool large = m.width >= kWantedWidth && m.height >= kWantedHeight;
  if (large && int64_t(m.width) * 9 == int64_t(m.height) * 16) return 0;
  return large ? 1 : 2;
}

// Smaller is better.
auto rankOf(const CaptureMode& m) {
  const int64_t area = int64_t(m.width) * m.height;
  const int cls = sizeClass(m);
  const bool smooth = m.fps() >= kSmoothFps;
  return std::make_tuple(smooth ? 0 : 1, smooth ? 0.0 : -m.fps(), cls, cls < 2 ? area : -area,
                         conversionCost(m.fourcc), std::abs(m.fps() - kPreferredFps));
}

void addIntervals(int fd, uint32_t fourcc, int width, int height, std::vector<CaptureMode>* out) {
  v4l2_frmivalenum ival{};
  ival.pixel_format = fourcc;
  ival.width = static_cast<uint32_t>(width);
  ival.height = static_cast<uint32_t>(height);
  const size_t before = out->size();
  for (ival.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) == 0; ++ival.index) {
    if (ival.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
      if (ival.discrete.numerator > 0 && ival.discrete.denominator > 0)
        out->push_back({fourcc, width, height, ival.discrete.numerator, ival.discrete.denominator});
      continue;
    }
    // A range: 1/30 s when it holds it, else its fastest end.
    const v4l2_fract& fast = ival.stepwise.min;
    const v4l2_fract& slow = ival.stepwise.max;
    const double shortest = fast.denominator ? double(fast.numerator) / fast.denominator : 0;
    const double longest = slow.denominator ? double(slow.numerator) / slow.denominator : 0;
    if (shortest <= 1 / kPreferredFps && 1 / kPreferredFps <= longest)
      out->push_back({fourcc, width, height, 1, 30});
    else if (fast.numerator > 0 && fast.denominator > 0)
      out->push_back({fourcc, width, height, fast.numerator, fast.denominator});
    break;
  }
  // A driver that names no interval still streams at some rate: assume the usual 30.
  if (out->size() == before) out->push_back({fourcc, width, height, 1, 30});
}

}  // namespace

bool isJpegFormat(uint32_t fourcc) {
  return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG;
}

bool isKnownCaptureFormat(uint32_t fourcc) {
  return isJpegFormat(fourcc) || fourcc == V4L2_PIX_FMT_NV12 || fourcc == V4L2_PIX_FMT_YUV420 ||
         fourcc == V4L2_PIX_FMT_YUYV || fourcc == V4L2_PIX_FMT_UYVY;
}

CaptureFormat captureFormatOf(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_NV12:
      return CaptureFormat::Nv12;
    case V4L2_PIX_FMT_YUV420:
      return CaptureFormat::I420;
    case V4L2_PIX_FMT_YUYV:
      return CaptureFormat::Yuyv;
    case V4L2_PIX_FMT_UYVY:
      return CaptureFormat::Uyvy;
    default:
      return CaptureFormat::Mjpeg;
  }
}

bool betterCaptureMode(const CaptureMode& a, const CaptureMode& b) { return rankOf(a) < rankOf(b); }

std::optional<CaptureMode> chooseCaptureMode(const std::vector<CaptureMode>& modes) {
  std::optional<CaptureMode> best;
  for (const CaptureMode& m : modes) {
    if (!isKnownCaptureFormat(m.fourcc) || m.width <= 0 || m.height <= 0) continue;
    if (!best || betterCaptureMode(m, *best)) best = m;
  }
  return best;
}

std::vector<CaptureMode> queryCaptureModes(int fd, uint32_t bufferType) {
  std::vector<CaptureMode> modes;
  v4l2_fmtdesc desc{};
  desc.type = bufferType;
  for (desc.index = 0; xioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
    // Sizes of formats we cannot read are not worth asking for.
    if (!isKnownCaptureFormat(desc.pixelformat)) continue;
    v4l2_frmsizeenum size{};
    size.pixel_format = desc.pixelformat;
    for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        addIntervals(fd, desc.pixelformat, static_cast<int>(size.discrete.width),
                     static_cast<int>(size.discrete.height), &modes);
        continue;
      }
      const auto& s = size.stepwise;
      if (s.min_width <= kWantedWidth && kWantedWidth <= s.max_width &&
          s.min_height <= kWantedHeight && kWantedHeight <= s.max_height)
        addIntervals(fd, desc.pixelformat, kWantedWidth, kWantedHeight, &modes);
      addIntervals(fd, desc.pixelformat, static_cast<int>(s.max_width),
                   static_cast<int>(s.max_height), &modes);
      break;
    }
  }
  return modes;
}

}  // namespace talvex::media
