#include "platform/media/camera/capture_format.h"

#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <array>
#include <cerrno>

namespace talvex::media {
namespace {

constexpr std::array<uint32_t, 3> kPreference = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_NV12,
                                                 V4L2_PIX_FMT_YUYV};

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

bool isKnownCaptureFormat(uint32_t fourcc) {
  for (uint32_t k : kPreference)
    if (k == fourcc) return true;
  return false;
}

std::optional<uint32_t> chooseCaptureFormat(const std::vector<FormatOffer>& offers, double fps) {
  auto reaches = [fps](const FormatOffer& o) {
    for (double r : o.rates)
      if (r >= fps - 0.5) return true;
    return false;
  };
  for (bool wantRate : {true, false}) {
    for (uint32_t k : kPreference) {
      for (const FormatOffer& o : offers) {
        if (o.fourcc != k || !o.hasSize) continue;
        if (wantRate && !reaches(o)) continue;
        return k;
      }
    }
  }
  return std::nullopt;
}

std::vector<FormatOffer> queryFormatOffers(int fd, int width, int height) {
  std::vector<FormatOffer> offers;
  v4l2_fmtdesc desc{};
  desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (desc.index = 0; xioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
    FormatOffer offer;
    offer.fourcc = desc.pixelformat;
    v4l2_frmsizeenum size{};
    size.pixel_format = desc.pixelformat;
    for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        if (static_cast<int>(size.discrete.width) == width &&
            static_cast<int>(size.discrete.height) == height)
          offer.hasSize = true;
      } else {
        const auto& s = size.stepwise;
        if (static_cast<int>(s.min_width) <= width && width <= static_cast<int>(s.max_width) &&
            static_cast<int>(s.min_height) <= height && height <= static_cast<int>(s.max_height))
          offer.hasSize = true;
        break;
      }
    }
    if (offer.hasSize) {
      v4l2_frmivalenum ival{};
      ival.pixel_format = desc.pixelformat;
      ival.width = static_cast<uint32_t>(width);
      ival.height = static_cast<uint32_t>(height);
      for (ival.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) == 0; ++ival.index) {
        // A continuous or stepwise range reports its shortest interval first.
        const v4l2_fract& f =
            ival.type == V4L2_FRMIVAL_TYPE_DISCRETE ? ival.discrete : ival.stepwise.min;
        if (f.numerator > 0) offer.rates.push_back(double(f.denominator) / f.numerator);
        if (ival.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
      }
    }
    offers.push_back(offer);
  }
  return offers;
}

}  // namespace talvex::media
