// Test-only: real photographs and clip frames as RGB images (photos.h gives them as NV12
// frames with simple layouts), with the geometric changes the metamorphic tests apply (mirror,
// turn, scale and move) and the NV12 full-range conversion the camera and movie reader do.
#pragma once

#include <libyuv/convert.h>
#include <libyuv/planar_functions.h>

#include <cstdlib>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "platform/image/pixel_buffer.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/testing/photos.h"

namespace talvex::vision::testing {

inline RgbImage fromMat(const cv::Mat& bgr) {
  RgbImage img;
  img.width = bgr.cols;
  img.height = bgr.rows;
  img.pixels.resize(static_cast<size_t>(bgr.cols) * bgr.rows * 3);
  cv::Mat rgb(bgr.rows, bgr.cols, CV_8UC3, img.pixels.data());
  if (bgr.channels() == 1)
    cv::cvtColor(bgr, rgb, cv::COLOR_GRAY2RGB);
  else
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  return img;
}

// An empty image (width 0) when the file cannot be read.
inline RgbImage readImage(const std::string& path) {
  cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
  if (bgr.empty()) return {};
  return fromMat(bgr);
}

inline cv::Mat asMat(const RgbImage& img) {
  return cv::Mat(img.height, img.width, CV_8UC3, const_cast<uint8_t*>(img.pixels.data()));
}
inline RgbImage fromRgbMat(const cv::Mat& rgb) {
  RgbImage img;
  img.width = rgb.cols;
  img.height = rgb.rows;
  img.pixels.assign(rgb.data, rgb.data + rgb.total() * 3);
  return img;
}

inline RgbImage mirrored(const RgbImage& img) {
  cv::Mat out;
  cv::flip(asMat(img), out, 1);
  return fromRgbMat(out);
}

// Turned counter-clockwise on screen by `degrees` about the centre, same size, black corners.
inline RgbImage turned(const RgbImage& img, double degrees) {
  cv::Mat out;
  cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(img.width / 2.f, img.height / 2.f), degrees, 1.0);
  cv::warpAffine(asMat(img), out, m, asMat(img).size(), cv::INTER_LINEAR);
  return fromRgbMat(out);
}

// `img` scaled by `scale` with its centre placed at (cx, cy) on a plain w x h canvas.
inline RgbImage onCanvas(const RgbImage& img, double scale, int w, int h, int cx, int cy) {
  cv::Mat canvas(h, w, CV_8UC3, cv::Scalar(110, 100, 90));
  cv::Mat m = (cv::Mat_<double>(2, 3) << scale, 0, cx - scale * img.width / 2.0, 0, scale,
               cy - scale * img.height / 2.0);
  cv::warpAffine(asMat(img), canvas, m, canvas.size(), cv::INTER_AREA, cv::BORDER_TRANSPARENT);
  return fromRgbMat(canvas);
}

// `img` scaled by `scale` with its centre placed at (cx, cy) over what `canvas` shows.
inline RgbImage placedOn(const RgbImage& canvas, const RgbImage& img, double scale, int cx,
                         int cy) {
  RgbImage out = canvas;
  cv::Mat m = (cv::Mat_<double>(2, 3) << scale, 0, cx - scale * img.width / 2.0, 0, scale,
               cy - scale * img.height / 2.0);
  cv::Mat dst = asMat(out);
  cv::warpAffine(asMat(img), dst, m, dst.size(), cv::INTER_AREA, cv::BORDER_TRANSPARENT);
  return out;
}

// The face of `img` (its box in `img`'s pixels, top-left origin) cut out with a soft oval edge
// and pasted over `canvas`, scaled so the face is `faceWidth` px wide with its centre at
// (cx, cy): a face on the canvas's own background, as a person in front of it.
inline RgbImage facePastedOn(const RgbImage& canvas, const RgbImage& img, const PixelBox& face,
                             double faceWidth, int cx, int cy) {
  const double fw = face.xmax - face.xmin, fh = face.ymax - face.ymin;
  const double fx = (face.xmin + face.xmax) / 2, fy = (face.ymin + face.ymax) / 2;
  cv::Mat alpha = cv::Mat::zeros(img.height, img.width, CV_32FC1);
  cv::ellipse(alpha, cv::Point(int(fx), int(fy)), cv::Size(int(0.62 * fw), int(0.72 * fh)), 0, 0,
              360, cv::Scalar(1), -1);
  cv::GaussianBlur(alpha, alpha, cv::Size(0, 0), 0.04 * fw);
  const double s = faceWidth / fw;
  const cv::Mat m = (cv::Mat_<double>(2, 3) << s, 0, cx - s * fx, 0, s, cy - s * fy);
  const cv::Size size(canvas.width, canvas.height);
  const int interpolation = s < 1 ? cv::INTER_AREA : cv::INTER_LINEAR;
  cv::Mat face32, alphaOut, img32;
  asMat(img).convertTo(img32, CV_32FC3);
  cv::warpAffine(img32, face32, m, size, interpolation);
  cv::warpAffine(alpha, alphaOut, m, size, cv::INTER_LINEAR);
  cv::Mat out;
  asMat(canvas).convertTo(out, CV_32FC3);
  cv::Mat a3;
  cv::merge(std::vector<cv::Mat>{alphaOut, alphaOut, alphaOut}, a3);
  out = face32.mul(a3) + out.mul(cv::Scalar::all(1) - a3);
  cv::Mat u8;
  out.convertTo(u8, CV_8UC3);
  return fromRgbMat(u8);
}

// A photograph filling a w x h frame: cut to the frame's shape about its centre and scaled.
inline RgbImage filling(const RgbImage& img, int w, int h) {
  const cv::Mat m = asMat(img);
  cv::Rect r(0, 0, m.cols, m.rows);
  if (m.cols * h > m.rows * w) {
    r.width = m.rows * w / h;
    r.x = (m.cols - r.width) / 2;
  } else {
    r.height = m.cols * h / w;
    r.y = (m.rows - r.height) / 2;
  }
  cv::Mat out;
  cv::resize(m(r), out, cv::Size(w, h), 0, 0, cv::INTER_AREA);
  return fromRgbMat(out);
}

// The image as the camera or movie reader delivers it: NV12, full range (BT.601).
inline PixelBuffer toNV12(const RgbImage& img) {
  PixelBuffer buf = PixelBuffer::allocateNV12(img.width, img.height);
  const int cw = (img.width + 1) / 2, ch = (img.height + 1) / 2;
  std::vector<uint8_t> u(static_cast<size_t>(cw) * ch), v(u.size());
  const PlaneView& y = buf.plane(0);
  const PlaneView& uv = buf.plane(1);
  libyuv::RAWToJ420(img.pixels.data(), img.width * 3, y.base, y.bytesPerRow, u.data(), cw, v.data(),
                    cw, img.width, img.height);
  libyuv::MergeUVPlane(u.data(), cw, v.data(), cw, uv.base, uv.bytesPerRow, cw, ch);
  return buf;
}

// Frame `index` (from 0) of a set-up test clip, decoded with the ffmpeg program; empty when
// the clip or ffmpeg is missing.
inline RgbImage clipFrame(const std::string& clip, int index) {
  const std::string path = testDataPath(clip);
  const std::string png = (std::filesystem::temp_directory_path() /
                           ("talvex_" + clip + "_" + std::to_string(index) + ".png"))
                              .string();
  if (!std::filesystem::exists(png)) {
    // Tests run in parallel processes: decode to a private name, then rename into place.
    const std::string part = png + "." + std::to_string(::getpid()) + ".png";
    const std::string cmd = "ffmpeg -loglevel error -y -i '" + path + "' -vf 'select=eq(n\\," +
                            std::to_string(index) + ")' -vsync 0 -frames:v 1 '" + part + "'";
    if (std::system(cmd.c_str()) != 0) return {};
    std::error_code ec;
    std::filesystem::rename(part, png, ec);
    if (ec) return {};
  }
  return readImage(png);
}

}  // namespace talvex::vision::testing
