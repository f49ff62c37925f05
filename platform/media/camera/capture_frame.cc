#include "platform/media/camera/capture_frame.h"

#include <libyuv.h>
#include <turbojpeg.h>

#include <algorithm>
#include <vector>

namespace talvex::media {
namespace {

// Limited range (luma 16..235, chroma 16..240) stretched to 0..255, rounded to nearest (halves
// away from the middle), as the frame image needs. Multiply and shift instead of a table, so
// that the compiler runs it on whole vectors of pixels: a table look-up a byte at a time cost
// about a millisecond per 720p frame.
void stretch(uint8_t* px, int n, int offset, int mult, int shift, int base) {
  const int half = 1 << (shift - 1);
  for (int i = 0; i < n; ++i) {
    const int v = base + (((px[i] - offset) * mult + half) >> shift);
    px[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  }
}

void expandRange(const PixelBuffer& image) {
  for (int p = 0; p < 2; ++p) {
    const PlaneView& plane = image.plane(p);
    const int bytes = p == 0 ? plane.width : plane.width * 2;
    for (int row = 0; row < plane.height; ++row) {
      uint8_t* px = plane.base + static_cast<ptrdiff_t>(row) * plane.bytesPerRow;
      // 255/219 and 255/224 as 9539/2^13 and 4663/2^12: exact for every 8-bit value.
      if (p == 0)
        stretch(px, bytes, 16, 9539, 13, 0);
      else
        stretch(px, bytes, 128, 4663, 12, 128);
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
    case CaptureFormat::Yuyv:
    case CaptureFormat::Uyvy: {
      const int stride = l.bytesPerLine > 0 ? l.bytesPerLine : l.width * 2;
      if (size < static_cast<size_t>(stride) * static_cast<size_t>(l.height))
        return R::failure("short camera frame");
      const auto repack = l.format == CaptureFormat::Yuyv ? libyuv::YUY2ToNV12 : libyuv::UYVYToNV12;
      repack(data, stride, y.base, y.bytesPerRow, uv.base, uv.bytesPerRow, l.width, l.height);
      break;
    }
    case CaptureFormat::I420: {
      const int stride = l.bytesPerLine > 0 ? l.bytesPerLine : l.width;
      const int chromaStride = stride / 2;
      const size_t lumaBytes = static_cast<size_t>(stride) * static_cast<size_t>(l.height);
      const size_t chromaBytes =
          static_cast<size_t>(chromaStride) * static_cast<size_t>((l.height + 1) / 2);
      if (stride < l.width || size < lumaBytes + 2 * chromaBytes)
        return R::failure("short camera frame");
      libyuv::I420ToNV12(data, stride, data + lumaBytes, chromaStride,
                         data + lumaBytes + chromaBytes, chromaStride, y.base, y.bytesPerRow,
                         uv.base, uv.bytesPerRow, l.width, l.height);
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

FitRect fitInside(int width, int height, int outWidth, int outHeight) {
  FitRect r{0, 0, outWidth, outHeight};
  if (width <= 0 || height <= 0) return r;
  // Even sizes and offsets, so that the chroma of the picture and of the bars stay apart.
  if (int64_t(width) * outHeight > int64_t(outWidth) * height) {
    r.height = static_cast<int>(int64_t(outWidth) * height / width) & ~1;
    r.y = ((outHeight - r.height) / 2) & ~1;
  } else {
    r.width = static_cast<int>(int64_t(outHeight) * width / height) & ~1;
    r.x = ((outWidth - r.width) / 2) & ~1;
  }
  r.width = std::max(r.width, 2);
  r.height = std::max(r.height, 2);
  return r;
}

void CaptureConverter::TurboJpegDeleter::operator()(void* handle) const { tjDestroy(handle); }

CaptureConverter::CaptureConverter() : jpeg_(tjInitDecompress()) {}

// Many webcams put stray bytes into every JPEG (before the end marker, say); libjpeg then warns
// and still decodes the whole picture, as every other decoder does. Only an error is damage.
bool CaptureConverter::succeeded(int tjResult) const {
  return tjResult == 0 || tjGetErrorCode(jpeg_.get()) == TJERR_WARNING;
}

namespace {

// libjpeg only warns about a JPEG that ends early and fills the rest with grey: a frame cut
// short on its way from the camera has lost its end marker (drivers may pad after it).
bool hasEndMarker(const uint8_t* data, size_t size) {
  while (size > 0 && data[size - 1] == 0) --size;
  return size >= 2 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}

// The smallest of libjpeg's halved sizes (1/2, 1/4, 1/8) that still holds a fitW x fitH
// picture: a 2560x1440 camera decodes at 1/2, straight to 1280x720, and the decoding work for
// pixels the scaling would throw away is never done. Only the halvings: libjpeg-turbo has vector
// code for them but not for 3/4 or 5/8, which took twice as long as the whole 1920x1080 picture
// (6.6 against 3.2 ms) here; 1/2 of 1080p is 960x540, which would have to be enlarged.
tjscalingfactor reducedScale(int width, int height, int fitW, int fitH) {
  tjscalingfactor best{1, 1};
  for (const tjscalingfactor f : {tjscalingfactor{1, 2}, {1, 4}, {1, 8}}) {
    if (TJSCALED(width, f) < fitW || TJSCALED(height, f) < fitH) break;
    best = f;
  }
  return best;
}

// A frame for a picture that fills `fit`: black where the picture leaves bars.
PixelBuffer framed(const FitRect& fit, int outWidth, int outHeight) {
  PixelBuffer out = PixelBuffer::allocateNV12(outWidth, outHeight);
  if (fit.width != outWidth || fit.height != outHeight) {
    const PlaneView& y = out.plane(0);
    const PlaneView& uv = out.plane(1);
    libyuv::SetPlane(y.base, y.bytesPerRow, outWidth, outHeight, 0);
    libyuv::SetPlane(uv.base, uv.bytesPerRow, uv.width * 2, uv.height, 128);
  }
  return out;
}

}  // namespace

CaptureConverter::~CaptureConverter() = default;

Result<PixelBuffer> CaptureConverter::decodeJpeg(const CaptureLayout& l, const uint8_t* data,
                                                 size_t size, int outWidth, int outHeight) {
  using R = Result<PixelBuffer>;
  int fullW = 0, fullH = 0, subsamp = 0, colorspace = 0;
  if (!jpeg_ ||
      !succeeded(tjDecompressHeader3(jpeg_.get(), data, static_cast<unsigned long>(size), &fullW,
                                     &fullH, &subsamp, &colorspace)) ||
      fullW != l.width || fullH != l.height)
    return R::failure("damaged camera JPEG");
  const FitRect fit = fitInside(fullW, fullH, outWidth, outHeight);
  const tjscalingfactor scale = reducedScale(fullW, fullH, fit.width, fit.height);
  const int w = TJSCALED(fullW, scale), h = TJSCALED(fullH, scale);
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
  const int decoded = tjDecompressToYUVPlanes(jpeg_.get(), data, static_cast<unsigned long>(size),
                                              planes, w, strides, h, 0);
  if (!succeeded(decoded) || (decoded != 0 && !hasEndMarker(data, size)))
    return R::failure("damaged camera JPEG");
  if (w != outWidth || h != outHeight)
    return fitPlanes(planes, w, h, cw, ch, subsamp, outWidth, outHeight);
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

// Scaled from the decoder's own planes straight into the frame: no full-size NV12 copy in
// between (at 1080p that copy and the memory it needs cost about as much as the scaling).
PixelBuffer CaptureConverter::fitPlanes(unsigned char* const planes[3], int w, int h, int cw,
                                        int ch, int subsamp, int outWidth, int outHeight) {
  const FitRect fit = fitInside(w, h, outWidth, outHeight);
  PixelBuffer out = framed(fit, outWidth, outHeight);
  const PlaneView& y = out.plane(0);
  const PlaneView& uv = out.plane(1);
  libyuv::ScalePlane(planes[0], w, w, h, y.base + ptrdiff_t(fit.y) * y.bytesPerRow + fit.x,
                     y.bytesPerRow, fit.width, fit.height, libyuv::kFilterBilinear);
  if (subsamp == TJSAMP_GRAY) {
    libyuv::SetPlane(uv.base, uv.bytesPerRow, uv.width * 2, uv.height, 128);
    return out;
  }
  // Each chroma plane at its own size (every row of 4:2:2 counts) to the frame's 4:2:0.
  const int fcw = (fit.width + 1) / 2, fch = (fit.height + 1) / 2;
  chroma_.resize(2 * size_t(fcw) * fch);
  uint8_t* u = chroma_.data();
  uint8_t* v = u + size_t(fcw) * fch;
  libyuv::ScalePlane(planes[1], cw, cw, ch, u, fcw, fcw, fch, libyuv::kFilterBilinear);
  libyuv::ScalePlane(planes[2], cw, cw, ch, v, fcw, fcw, fch, libyuv::kFilterBilinear);
  libyuv::MergeUVPlane(u, fcw, v, fcw, uv.base + ptrdiff_t(fit.y / 2) * uv.bytesPerRow + fit.x,
                       uv.bytesPerRow, fcw, fch);
  return out;
}

Result<PixelBuffer> CaptureConverter::convert(const CaptureLayout& layout, const uint8_t* data,
                                              size_t size, int outWidth, int outHeight) {
  if (layout.width <= 0 || layout.height <= 0 || !data)
    return Result<PixelBuffer>::failure("empty camera frame");
  if (layout.format == CaptureFormat::Mjpeg)
    return decodeJpeg(layout, data, size, outWidth, outHeight);
  Result<PixelBuffer> native = decodeRaw(layout, data, size);
  if (!native || (layout.width == outWidth && layout.height == outHeight)) return native;
  // A picture of another size is scaled into the frame with its shape kept: the whole picture,
  // centred, with black bars where its aspect differs, so that nothing the camera sees is lost
  // or stretched.
  const PixelBuffer& src = native.value();
  const FitRect fit = fitInside(src.width(), src.height(), outWidth, outHeight);
  PixelBuffer out = framed(fit, outWidth, outHeight);
  const PlaneView& y = out.plane(0);
  const PlaneView& uv = out.plane(1);
  uint8_t* yAt = y.base + static_cast<ptrdiff_t>(fit.y) * y.bytesPerRow + fit.x;
  uint8_t* uvAt = uv.base + static_cast<ptrdiff_t>(fit.y / 2) * uv.bytesPerRow + fit.x;
  libyuv::NV12Scale(src.plane(0).base, src.plane(0).bytesPerRow, src.plane(1).base,
                    src.plane(1).bytesPerRow, src.width(), src.height(), yAt, y.bytesPerRow, uvAt,
                    uv.bytesPerRow, fit.width, fit.height, libyuv::kFilterBilinear);
  return out;
}

}  // namespace talvex::media
