#include "platform/vision/ops/image_ops.h"

#include <libyuv/convert_argb.h>
#include <libyuv/scale_rgb.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <opencv2/imgproc.hpp>

namespace talvex::vision {

namespace {

// libyuv's "RGB24" is B,G,R in memory; converting with the chroma planes swapped and the
// mirrored (VU) matrix yields R,G,B bytes, which is what the models take.
const libyuv::YuvConstants* vuConstants(YuvRange range, YuvMatrix matrix) {
  const bool full = range == YuvRange::Full;
  if (matrix == YuvMatrix::BT709)
    return full ? &libyuv::kYvuF709Constants : &libyuv::kYvuH709Constants;
  return full ? &libyuv::kYvuJPEGConstants : &libyuv::kYvuI601Constants;
}

}  // namespace

Status convertToRgb(const PixelBuffer& frame, RgbImage& out) {
  out.letterboxSource.reset();
  const bool i420 = frame.layout() == PixelLayout::I420;
  if (frame.planeCount() < (i420 ? 3 : 2) || frame.width() <= 0 || frame.height() <= 0)
    return Status::failure("frame is not an NV12 or I420 image");
  out.width = frame.width();
  out.height = frame.height();
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * 3);
  const libyuv::YuvConstants* k = vuConstants(frame.range(), frame.matrix());
  const PlaneView& y = frame.plane(0);
  int rc;
  if (i420) {
    const PlaneView& u = frame.plane(1);
    const PlaneView& v = frame.plane(2);
    rc = libyuv::I420ToRGB24Matrix(y.base, y.bytesPerRow, v.base, v.bytesPerRow, u.base,
                                   u.bytesPerRow, out.pixels.data(), out.width * 3, k, out.width,
                                   out.height);
  } else {
    const PlaneView& uv = frame.plane(1);
    rc = libyuv::NV21ToRGB24Matrix(y.base, y.bytesPerRow, uv.base, uv.bytesPerRow,
                                   out.pixels.data(), out.width * 3, k, out.width, out.height);
  }
  if (rc != 0) return Status::failure("YUV to RGB conversion failed");
  return Status::ok();
}

struct LetterboxSource {
  int width = 0, height = 0;  // of the copy
  std::once_flag made;
  RgbImage copy;  // empty when scaling failed
};

void addLetterboxSource(RgbImage& image, int largestTensor) {
  image.letterboxSource.reset();
  const int side = 2 * largestTensor;
  const int longer = std::max(image.width, image.height);
  // Below about one and a half times the copy's size, the copy saves too little to pay for.
  if (side <= 0 || longer * 2 < side * 3) return;
  auto source = std::make_shared<LetterboxSource>();
  source->width = std::max(1, static_cast<int>(std::lround(double(image.width) * side / longer)));
  source->height = std::max(1, static_cast<int>(std::lround(double(image.height) * side / longer)));
  image.letterboxSource = std::move(source);
}

const RgbImage* reducedCopy(const RgbImage& image) {
  LetterboxSource* source = image.letterboxSource.get();
  if (!source) return nullptr;
  std::call_once(source->made, [&] {
    RgbImage& r = source->copy;
    r.pixels.resize(static_cast<size_t>(source->width) * source->height * 3);
    if (libyuv::RGBScale(image.pixels.data(), image.width * 3, image.width, image.height,
                         r.pixels.data(), source->width * 3, source->width, source->height,
                         libyuv::kFilterBox) == 0) {
      r.width = source->width;
      r.height = source->height;
    }
  });
  return source->copy.width > 0 ? &source->copy : nullptr;
}

void CropTransform::unmap(double x, double y, double& s, double& t) const {
  double det = axX * ayY - ayX * axY;
  double dx = x - centerX, dy = y - centerY;
  if (det == 0) {
    s = t = 0.5;
    return;
  }
  s = (dx * ayY - dy * ayX) / det + 0.5;
  t = (axX * dy - axY * dx) / det + 0.5;
}

CropTransform warpToTensor(const RgbImage& image, const PixelRotatedRect& roi, int w, int h,
                           float lo, float hi, float* dst) {
  CropTransform tr;
  const double c = std::cos(roi.rotation), s = std::sin(roi.rotation);
  tr.centerX = roi.centerX;
  tr.centerY = roi.centerY;
  tr.axX = c * roi.width;
  tr.axY = s * roi.width;
  tr.ayX = -s * roi.height;
  tr.ayY = c * roi.height;
  // Tensor pixel (u, v) has its centre at s = (u + 0.5) / w; OpenCV addresses source pixels by
  // their centres, half a pixel off the continuous coordinates.
  cv::Matx23d m;
  m(0, 0) = tr.axX / w;
  m(0, 1) = tr.ayX / h;
  m(1, 0) = tr.axY / w;
  m(1, 1) = tr.ayY / h;
  double x0, y0;
  tr.map(0.5 / w, 0.5 / h, x0, y0);
  m(0, 2) = x0 - 0.5;
  m(1, 2) = y0 - 0.5;
  const cv::Mat src(image.height, image.width, CV_8UC3, const_cast<uint8_t*>(image.pixels.data()));
  cv::Mat crop;
  cv::warpAffine(src, crop, m, cv::Size(w, h), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                 cv::BORDER_CONSTANT, cv::Scalar::all(0));
  cv::Mat out(h, w, CV_32FC3, dst);
  crop.convertTo(out, CV_32F, (hi - lo) / 255.0, lo);
  return tr;
}

Letterbox letterboxToTensor(const RgbImage& image, int size, float lo, float hi, float* dst) {
  return letterboxToTensor(image, PixelBox{0, 0, double(image.width), double(image.height)}, size,
                           lo, hi, dst);
}

Letterbox letterboxToTensor(const RgbImage& image, const PixelBox& region, int size, float lo,
                            float hi, float* dst) {
  Letterbox lb;
  const int x0 = std::clamp(static_cast<int>(std::lround(region.xmin)), 0, image.width - 1);
  const int y0 = std::clamp(static_cast<int>(std::lround(region.ymin)), 0, image.height - 1);
  const int x1 = std::clamp(static_cast<int>(std::lround(region.xmax)), x0 + 1, image.width);
  const int y1 = std::clamp(static_cast<int>(std::lround(region.ymax)), y0 + 1, image.height);
  const int width = x1 - x0, height = y1 - y0;
  const int side = std::max(width, height);
  const double scale = static_cast<double>(size) / side;
  const int sw = std::clamp(static_cast<int>(std::lround(width * scale)), 1, size);
  const int sh = std::clamp(static_cast<int>(std::lround(height * scale)), 1, size);
  const int left = (size - sw) / 2, top = (size - sh) / 2;
  // libyuv's box filter, about 15 times faster than OpenCV's INTER_AREA at these non-integer
  // ratios (0.45 ms against 7.5 ms for 1280x720 to 224x126). At these ratios it samples much
  // as bilinear filtering does rather than averaging whole areas (a fine checkerboard keeps
  // values from 0 to 253). The whole frame comes from its reduced copy, made once for all the
  // detectors' letterboxes.
  cv::Mat small(sh, sw, CV_8UC3);
  const bool whole = x0 == 0 && y0 == 0 && x1 == image.width && y1 == image.height;
  const RgbImage* r = whole ? reducedCopy(image) : nullptr;
  if (r && r->width >= 2 * sw && r->height >= 2 * sh)
    libyuv::RGBScale(r->pixels.data(), r->width * 3, r->width, r->height, small.data,
                     static_cast<int>(small.step), sw, sh, libyuv::kFilterBox);
  else
    libyuv::RGBScale(image.row(y0) + static_cast<size_t>(x0) * 3, image.width * 3, width, height,
                     small.data, static_cast<int>(small.step), sw, sh, libyuv::kFilterBox);
  cv::Mat out(size, size, CV_32FC3, dst);
  out.setTo(cv::Scalar::all(lo));
  small.convertTo(out(cv::Rect(left, top, sw, sh)), CV_32F, (hi - lo) / 255.0, lo);
  lb.padX = static_cast<float>(left) / size;
  lb.padY = static_cast<float>(top) / size;
  // Tensor coordinates map back through the scale actually used for each axis.
  const double fx = static_cast<double>(width) / sw, fy = static_cast<double>(height) / sh;
  lb.transform.axX = size * fx;
  lb.transform.axY = 0;
  lb.transform.ayX = 0;
  lb.transform.ayY = size * fy;
  lb.transform.centerX = x0 + (size / 2.0 - left) * fx;
  lb.transform.centerY = y0 + (size / 2.0 - top) * fy;
  return lb;
}

std::vector<PixelBox> overlappingTiles(int width, int height) {
  std::vector<PixelBox> tiles;
  const int side = std::min(width, height) * 2 / 3;
  if (side < 64) return tiles;
  const int overlap = side / 6;
  // As few tiles as keep at least `overlap` in common, spread evenly from edge to edge.
  auto starts = [&](int extent) {
    std::vector<int> v;
    const int n = extent <= side ? 1 : (extent - overlap + (side - overlap) - 1) / (side - overlap);
    for (int i = 0; i < n; ++i)
      v.push_back(n == 1 ? 0 : static_cast<int>(std::lround(double(extent - side) * i / (n - 1))));
    return v;
  };
  for (int y : starts(height))
    for (int x : starts(width))
      tiles.push_back({double(x), double(y), double(x + side), double(y + side)});
  return tiles;
}

}  // namespace talvex::vision
