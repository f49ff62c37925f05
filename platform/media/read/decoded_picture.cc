#include "platform/media/read/decoded_picture.h"

namespace talvex::media {

bool isFullRange(const AVFrame& f) {
  switch (f.format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return f.color_range == AVCOL_RANGE_JPEG;
  }
}

std::optional<PixelBuffer> sharedI420(const AVFrame& f) {
  if (f.format != AV_PIX_FMT_YUV420P && f.format != AV_PIX_FMT_YUVJ420P) return std::nullopt;
  if (f.width <= 0 || f.height <= 0 || !f.data[0] || !f.data[1] || !f.data[2]) return std::nullopt;
  // Bottom-up pictures (negative strides) are left to the conversion.
  if (f.linesize[0] <= 0 || f.linesize[1] <= 0 || f.linesize[2] <= 0) return std::nullopt;
  std::shared_ptr<AVFrame> ref(av_frame_clone(&f), FrameDeleter{});
  if (!ref) return std::nullopt;
  const int cw = (f.width + 1) / 2, ch = (f.height + 1) / 2;
  const std::array<PlaneView, 3> planes{
      PlaneView{ref->data[0], f.width, f.height, ref->linesize[0]},
      PlaneView{ref->data[1], cw, ch, ref->linesize[1]},
      PlaneView{ref->data[2], cw, ch, ref->linesize[2]}};
  const YuvRange range = isFullRange(f) ? YuvRange::Full : YuvRange::Limited;
  const YuvMatrix matrix = f.colorspace == AVCOL_SPC_BT709 ? YuvMatrix::BT709 : YuvMatrix::BT601;
  return PixelBuffer::wrapI420(f.width, f.height, planes, range, matrix, std::move(ref));
}

}  // namespace talvex::media
