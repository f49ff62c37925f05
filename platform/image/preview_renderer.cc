#include "platform/image/preview_renderer.h"

#include <turbojpeg.h>

#include <libyuv/convert.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <cmath>
#include <string>

namespace talvex {
namespace {

struct TjDeleter {
  void operator()(void* h) const {
    if (h) tjDestroy(h);
  }
};
using TjHandlePtr = std::unique_ptr<void, TjDeleter>;

struct TjBufferDeleter {
  void operator()(unsigned char* b) const { tjFree(b); }
};

// An I420 image in one allocation.
struct Planar {
  int w = 0, h = 0, cw = 0, ch = 0;
  std::vector<uint8_t> bytes;
  void resize(int width, int height) {
    w = width;
    h = height;
    cw = (w + 1) / 2;
    ch = (h + 1) / 2;
    bytes.resize(static_cast<size_t>(w * h + 2 * cw * ch));
  }
  uint8_t* y() { return bytes.data(); }
  uint8_t* u() { return bytes.data() + w * h; }
  uint8_t* v() { return bytes.data() + w * h + cw * ch; }
};

}  // namespace

struct PreviewRenderer::Impl {
  Impl(int width, int quality) : width(width), quality(quality) {}
  int width;
  int quality;
  TjHandlePtr tj{tjInitCompress()};
  std::vector<uint8_t> smallY, smallUV;  // the scaled NV12 image
  Planar planar, mirrored;
};

PreviewRenderer::PreviewRenderer(int width, int quality)
    : impl_(std::make_unique<Impl>(width, quality)) {}
PreviewRenderer::~PreviewRenderer() = default;

Result<std::vector<uint8_t>> PreviewRenderer::render(const PixelBuffer& frame) {
  using R = Result<std::vector<uint8_t>>;
  Impl& m = *impl_;
  if (!m.tj) return R::failure("JPEG encoder unavailable");
  if (frame.planeCount() != 2 || frame.width() <= 0 || frame.height() <= 0)
    return R::failure("not an NV12 image");
  const int w = m.width;
  const int h =
      std::max(1, static_cast<int>(std::lround(double(frame.height()) * w / frame.width())));
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  m.smallY.resize(static_cast<size_t>(w * h));
  m.smallUV.resize(static_cast<size_t>(2 * cw * ch));
  const PlaneView& y = frame.plane(0);
  const PlaneView& uv = frame.plane(1);
  if (libyuv::NV12Scale(y.base, y.bytesPerRow, uv.base, uv.bytesPerRow, frame.width(),
                        frame.height(), m.smallY.data(), w, m.smallUV.data(), 2 * cw, w, h,
                        libyuv::kFilterBilinear) != 0)
    return R::failure("cannot scale the preview");
  m.planar.resize(w, h);
  m.mirrored.resize(w, h);
  if (libyuv::NV12ToI420(m.smallY.data(), w, m.smallUV.data(), 2 * cw, m.planar.y(), w,
                         m.planar.u(), cw, m.planar.v(), cw, w, h) != 0 ||
      libyuv::I420Mirror(m.planar.y(), w, m.planar.u(), cw, m.planar.v(), cw, m.mirrored.y(), w,
                         m.mirrored.u(), cw, m.mirrored.v(), cw, w, h) != 0)
    return R::failure("cannot mirror the preview");
  const unsigned char* planes[3] = {m.mirrored.y(), m.mirrored.u(), m.mirrored.v()};
  int strides[3] = {w, cw, cw};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompressFromYUVPlanes(m.tj.get(), planes, w, strides, h, TJSAMP_420, &jpeg, &size,
                              m.quality, 0) != 0) {
    std::string why = tjGetErrorStr2(m.tj.get());
    tjFree(jpeg);
    return R::failure(why);
  }
  std::unique_ptr<unsigned char, TjBufferDeleter> owned(jpeg);
  return std::vector<uint8_t>(jpeg, jpeg + size);
}

}  // namespace talvex
