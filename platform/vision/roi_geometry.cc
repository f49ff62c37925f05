#include "platform/vision/roi_geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace talvex::vision::roi {

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

double normalizeRadians(double angle) {
  constexpr double kTwoPi = 2 * std::numbers::pi;
  return angle - kTwoPi * std::floor((angle + std::numbers::pi) / kTwoPi);
}

double uprightRotation(Point2 from, Point2 to, int imageWidth, int imageHeight) {
  const double dx = (to.x - from.x) * imageWidth;
  const double dy = (to.y - from.y) * imageHeight;
  // atan2 of the upward component: image y grows downwards.
  return normalizeRadians(std::numbers::pi / 2 - std::atan2(-dy, dx));
}

Letterbox letterboxFor(int imageWidth, int imageHeight, int inputWidth, int inputHeight) {
  const double scale = std::min(static_cast<double>(inputWidth) / imageWidth,
                                static_cast<double>(inputHeight) / imageHeight);
  const double usedW = imageWidth * scale / inputWidth;
  const double usedH = imageHeight * scale / inputHeight;
  return {(1 - usedW) / 2, (1 - usedH) / 2};
}

Point2 removeLetterbox(Point2 p, const Letterbox& lb) {
  return {(p.x - lb.padX) / (1 - 2 * lb.padX), (p.y - lb.padY) / (1 - 2 * lb.padY)};
}

double removeLetterboxWidth(double w, const Letterbox& lb) { return w / (1 - 2 * lb.padX); }
double removeLetterboxHeight(double h, const Letterbox& lb) { return h / (1 - 2 * lb.padY); }

NormalizedRoi transformRoi(const NormalizedRoi& roi, const RoiTransform& t, int imageWidth,
                           int imageHeight) {
  NormalizedRoi out = roi;
  // The shift is along the region's own (rotated) axes, worked out in pixels so that a
  // turned region moves the same distance whatever the frame's aspect ratio.
  const double c = std::cos(roi.rotation);
  const double s = std::sin(roi.rotation);
  const double sxPx = roi.width * imageWidth * t.shiftX;
  const double syPx = roi.height * imageHeight * t.shiftY;
  out.xCenter += (sxPx * c - syPx * s) / imageWidth;
  out.yCenter += (sxPx * s + syPx * c) / imageHeight;
  if (t.squareLong) {
    const double longSide = std::max(roi.width * imageWidth, roi.height * imageHeight);
    out.width = longSide / imageWidth;
    out.height = longSide / imageHeight;
  }
  out.width *= t.scaleX;
  out.height *= t.scaleY;
  return out;
}

NormalizedRoi handRoiFromPalm(Point2 boxCenter, double boxWidth, double boxHeight, Point2 wrist,
                              Point2 middleKnuckle, int imageWidth, int imageHeight) {
  NormalizedRoi palm{boxCenter.x, boxCenter.y, boxWidth, boxHeight,
                     uprightRotation(wrist, middleKnuckle, imageWidth, imageHeight)};
  // The palm box covers the palm only: move half a box towards the fingers and grow it
  // 2.6 times so the fingers and the wrist fit, as the hand landmark model was trained.
  return transformRoi(palm, {.scaleX = 2.6, .scaleY = 2.6, .shiftY = -0.5, .squareLong = true},
                      imageWidth, imageHeight);
}

NormalizedRoi bodyRoiFromDetection(Point2 hipCenter, Point2 scalePoint, int imageWidth,
                                   int imageHeight) {
  const double dx = (scalePoint.x - hipCenter.x) * imageWidth;
  const double dy = (scalePoint.y - hipCenter.y) * imageHeight;
  const double sizePx = 2 * std::hypot(dx, dy);
  NormalizedRoi body{hipCenter.x, hipCenter.y, sizePx / imageWidth, sizePx / imageHeight,
                     uprightRotation(hipCenter, scalePoint, imageWidth, imageHeight)};
  // A quarter more room around the body circle, as the pose landmark model expects.
  return transformRoi(body, {.scaleX = 1.25, .scaleY = 1.25, .squareLong = true}, imageWidth,
                      imageHeight);
}

Point2 projectFromRoi(const NormalizedRoi& roi, Point2 local) {
  const double x = local.x - 0.5;
  const double y = local.y - 0.5;
  const double c = std::cos(roi.rotation);
  const double s = std::sin(roi.rotation);
  return {(c * x - s * y) * roi.width + roi.xCenter, (s * x + c * y) * roi.height + roi.yCenter};
}

std::array<Point2, 4> roiCornersInPixels(const NormalizedRoi& roi, int imageWidth,
                                         int imageHeight) {
  const Point2 local[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  std::array<Point2, 4> out;
  for (int i = 0; i < 4; ++i) {
    const Point2 p = projectFromRoi(roi, local[i]);
    out[i] = {p.x * imageWidth, p.y * imageHeight};
  }
  return out;
}

}  // namespace talvex::vision::roi
