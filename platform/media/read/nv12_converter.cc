#include "platform/media/read/nv12_converter.h"

#include "platform/media/read/decoded_picture.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace talvex::media {

std::string avErrorText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

namespace {

// swscale warns about the deprecated J formats; they mean the plain ones at full range.
AVPixelFormat plainFormat(int format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      return AV_PIX_FMT_YUV411P;
    default:
      return static_cast<AVPixelFormat>(format);
  }
}

}  // namespace

Result<PixelBuffer> Nv12Converter::convert(const AVFrame& f) {
  if (f.width <= 0 || f.height <= 0) return Result<PixelBuffer>::failure("frame has no size");
  const int range = isFullRange(f) ? 1 : 0;
  const int space = f.colorspace;
  if (!sws_ || f.width != srcW_ || f.height != srcH_ || f.format != srcFormat_ ||
      range != srcRange_ || space != srcSpace_) {
    const AVPixelFormat src = plainFormat(f.format);
    // Ranges are set before initialisation: swscale picks its fast unscaled paths at init and
    // those ignore range, so a later sws_setColorspaceDetails would leave limited range as is.
    sws_.reset(sws_alloc_context());
    bool ok = sws_ != nullptr;
    if (ok) {
      SwsContext* c = sws_.get();
      ok = av_opt_set_int(c, "srcw", f.width, 0) >= 0 &&
           av_opt_set_int(c, "srch", f.height, 0) >= 0 &&
           av_opt_set_int(c, "src_format", src, 0) >= 0 &&
           av_opt_set_int(c, "dstw", f.width, 0) >= 0 &&
           av_opt_set_int(c, "dsth", f.height, 0) >= 0 &&
           av_opt_set_int(c, "dst_format", AV_PIX_FMT_NV12, 0) >= 0 &&
           av_opt_set_int(c, "src_range", range, 0) >= 0 &&
           av_opt_set_int(c, "dst_range", 1, 0) >= 0 &&
           av_opt_set_int(c, "sws_flags", SWS_BILINEAR | SWS_ACCURATE_RND, 0) >= 0 &&
           sws_init_context(c, nullptr, nullptr) >= 0;
    }
    if (ok) {
      const int* coeffs =
          sws_getCoefficients(space == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT);
      sws_setColorspaceDetails(sws_.get(), coeffs, range, coeffs, 1, 0, 1 << 16, 1 << 16);
    }
    if (!ok) {
      sws_.reset();
      const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(f.format));
      return Result<PixelBuffer>::failure(std::string("cannot convert pixel format ") +
                                          (name ? name : "unknown"));
    }
    srcW_ = f.width;
    srcH_ = f.height;
    srcFormat_ = f.format;
    srcRange_ = range;
    srcSpace_ = space;
  }
  PixelBuffer out = PixelBuffer::allocateNV12(f.width, f.height);
  uint8_t* dst[4] = {out.plane(0).base, out.plane(1).base, nullptr, nullptr};
  int dstStride[4] = {out.plane(0).bytesPerRow, out.plane(1).bytesPerRow, 0, 0};
  const int rows = sws_scale(sws_.get(), f.data, f.linesize, 0, f.height, dst, dstStride);
  if (rows != f.height) return Result<PixelBuffer>::failure("pixel format conversion failed");
  return out;
}

}  // namespace talvex::media
