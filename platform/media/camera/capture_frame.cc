#include "platform/media/camera/capture_frame.h"

#include <libyuv.h>
#include <turbojpeg.h>

#include <array>
#include <vector>

namespace talvex::media {
namespace {

// Limited range (luma 16..235, chroma 16..240) stretched to 0..255, as the frame image needs.
struct RangeTables {
  std::array<uint8_t, 256> luma{}, chroma{};
  RangeTables() {
    for (int v = 0; v < 256; ++v) {
      const int y = ((v - 16) * 255 * 2 + 219) / (219 * 2);
      const int c = 128 + ((v - 128) * 255 * 2 + (v >= 128 ? 224 : -224)) / (224 * 2);
      luma[static_cast<size_t>(v)] = static_cast<uint8_t>(y < 0 ? 0 : y > 255 ? 255 : y);
      chroma[static_cast<size_t>(v)] = static_cast<uint8_t>(c < 0 ? 0 : c > 255 ? 255 : c);
    }
  }
};

void expandRange(const PixelBuffer& image) {
  static const RangeTables tables;
  for (int p = 0; p < 2; ++p) {
    const PlaneView& plane = image.plane(p);
    const auto& table = p == 0 ? tables.luma : tables.chroma;
    const int bytes = p == 0 ? plane.width : plane.width * 2;
    for (int row = 0; row < plane.height; ++row) {
      uint8_t* px = plane.base + static_cast<ptrdiff_t>(row) * plane.bytesPerRow;
      for (int i = 0; i < bytes; ++i) px[i] = table[px[i]];
    }
  }
}

Result<PixelBuffer> decodeRaw(const CaptureLayout& l, const uint8_t* data, size_t size) {
  using R = Result<PixelBuffer>;
  PixelBuffer out = PixelBuffer::allocateNV12(l.width, l.height);
  const PlaneView& y = out.plane(0);
  const PlaneView& uv = out.plane(1);
  switch (l.format) {
    case CaptureFormat::Mjpeg:
      return R::failure("not a raw format");
    case CaptureFormat::Yuyv: {
      const int stride = l.bytesPerLine > 0 ? l.bytesPerLine : l.width * 2;
      if (size < static_cast<size_t>(stride) * static_cast<size_t>(l.height))
        return R::failure("short camera frame");
      libyuv::YUY2ToNV12(data, stride, y.base, y.bytesPerRow, uv.base, uv.bytesPerRow, l.width,
                         l.height);
      break;
    }
    case CaptureFormat::Nv12: {
      const int stride = l.bytesPerLine > 0 ? l.bytesPerLine : l.width;
      const size_t lumaBytes = static_cast<size_t>(stride) * static_cast<size_t>(l.height);
      if (size < lumaBytes + lumaBytes / 2) return R::failure("short camera frame");
      libyuv::NV12Copy(data, stride, data + lumaBytes, stride, y.base, y.bytesPerRow, uv.base,
                       uv.bytesPerRow, l.width, l.height);
      break;
    }
  }
  if (!l.fullRange) expandRange(out);
  return out;
}

}  // namespace

void CaptureConverter::TurboJpegDeleter::operator()(void* handle) const { tjDestroy(handle); }

CaptureConverter::CaptureConverter() : jpeg_(tjInitDecompress()) {}
CaptureConverter::~CaptureConverter() = default;

Result<PixelBuffer> CaptureConverter::decodeJpeg(const CaptureLayout& l, const uint8_t* data,
                                                 size_t size) {
  using R = Result<PixelBuffer>;
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  if (!jpeg_ ||
      tjDecompressHeader3(jpeg_.get(), data, static_cast<unsigned long>(size), &w, &h, &subsamp,
                          &colorspace) != 0 ||
      w != l.width || h != l.height)
    return R::failure("damaged camera JPEG");
  // Chroma planes as the JPEG holds them, then interleaved into NV12.
  const int cw = subsamp == TJSAMP_444 ? w : (w + 1) / 2;
  const int ch = subsamp == TJSAMP_420 ? (h + 1) / 2 : h;
  if (subsamp != TJSAMP_420 && subsamp != TJSAMP_422 && subsamp != TJSAMP_444 &&
      subsamp != TJSAMP_GRAY)
    return R::failure("unsupported camera JPEG subsampling");
  planes_.resize(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch);
  unsigned char* planes[3] = {planes_.data(), planes_.data() + size_t(w) * h,
                              planes_.data() + size_t(w) * h + size_t(cw) * ch};
  int strides[3] = {w, cw, cw};
  if (tjDecompressToYUVPlanes(jpeg_.get(), data, static_cast<unsigned long>(size), planes, w,
                              strides, h, 0) != 0)
    return R::failure("damaged camera JPEG");
  PixelBuffer out = PixelBuffer::allocateNV12(w, h);
  const PlaneView& y = out.plane(0);
  const PlaneView& uv = out.plane(1);
  int r = 0;
  switch (subsamp) {
    case TJSAMP_420:
      r = libyuv::I420ToNV12(planes[0], w, planes[1], cw, planes[2], cw, y.base, y.bytesPerRow,
                             uv.base, uv.bytesPerRow, w, h);
      break;
    case TJSAMP_422: {
      // Every other chroma row of 4:2:2 makes the 4:2:0 plane.
      r = libyuv::I420ToNV12(planes[0], w, planes[1], cw * 2, planes[2], cw * 2, y.base,
                             y.bytesPerRow, uv.base, uv.bytesPerRow, w, h);
      break;
    }
    case TJSAMP_444:
      r = libyuv::I444ToNV12(planes[0], w, planes[1], cw, planes[2], cw, y.base, y.bytesPerRow,
                             uv.base, uv.bytesPerRow, w, h);
      break;
    default:
      libyuv::CopyPlane(planes[0], w, y.base, y.bytesPerRow, w, h);
      libyuv::SetPlane(uv.base, uv.bytesPerRow, uv.width * 2, uv.height, 128);
  }
  if (r != 0) return R::failure("damaged camera JPEG");
  return out;
}

Result<PixelBuffer> CaptureConverter::convert(const CaptureLayout& layout, const uint8_t* data,
                                              size_t size, int outWidth, int outHeight) {
  if (layout.width <= 0 || layout.height <= 0 || !data)
    return Result<PixelBuffer>::failure("empty camera frame");
  Result<PixelBuffer> native = layout.format == CaptureFormat::Mjpeg
                                   ? decodeJpeg(layout, data, size)
                                   : decodeRaw(layout, data, size);
  if (!native || (layout.width == outWidth && layout.height == outHeight)) return native;
  // A device that does not give the asked size is scaled to it, so that every consumer sees
  // the promised size.
  const PixelBuffer& src = native.value();
  PixelBuffer out = PixelBuffer::allocateNV12(outWidth, outHeight);
  libyuv::NV12Scale(src.plane(0).base, src.plane(0).bytesPerRow, src.plane(1).base,
                    src.plane(1).bytesPerRow, src.width(), src.height(), out.plane(0).base,
                    out.plane(0).bytesPerRow, out.plane(1).base, out.plane(1).bytesPerRow, outWidth,
                    outHeight, libyuv::kFilterBilinear);
  return out;
}

}  // namespace talvex::media
