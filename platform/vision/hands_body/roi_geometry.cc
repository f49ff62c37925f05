#include "platform/vision/hands_body/roi_geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace talvex::vision::roi {

double normalizeRadians(double angle) {
  constexpr double kTwoPi = 2 * std::numbers::pi;
  return angle - kTwoPi * std::floor((angle + std::numbers::pi) / kTwoPi);
}

double uprightRotation(NormalizedPoint from, NormalizedPoint to, int imageWidth, int imageHeight) {
  const double dx = (to.x - from.x) * imageWidth;
  const double dy = (to.y - from.y) * imageHeight;
  // atan2 of the upward component: image y grows downwards.
  return normalizeRadians(std::numbers::pi / 2 - std::atan2(-dy, dx));
}

NormalizedRotatedRect transformRoi(const NormalizedRotatedRect& roi, const RoiTransform& t,
                                   int imageWidth, int imageHeight) {
  NormalizedRotatedRect out = roi;
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

NormalizedRotatedRect handRoiFromPalm(NormalizedPoint boxCenter, double boxWidth, double boxHeight,
                                      NormalizedPoint wrist, NormalizedPoint middleKnuckle,
                                      int imageWidth, int imageHeight) {
  NormalizedRotatedRect palm{boxCenter.x, boxCenter.y, boxWidth, boxHeight,
                             uprightRotation(wrist, middleKnuckle, imageWidth, imageHeight)};
  // The palm box covers the palm only: move half a box towards the fingers and grow it
  // 2.6 times so the fingers and the wrist fit, as the hand landmark model was trained.
  return transformRoi(palm, {.scaleX = 2.6, .scaleY = 2.6, .shiftY = -0.5, .squareLong = true},
                      imageWidth, imageHeight);
}

NormalizedRotatedRect bodyRoiFromDetection(NormalizedPoint hipCenter, NormalizedPoint scalePoint,
                                           int imageWidth, int imageHeight) {
  const double dx = (scalePoint.x - hipCenter.x) * imageWidth;
  const double dy = (scalePoint.y - hipCenter.y) * imageHeight;
  const double sizePx = 2 * std::hypot(dx, dy);
  NormalizedRotatedRect body{hipCenter.x, hipCenter.y, sizePx / imageWidth, sizePx / imageHeight,
                             uprightRotation(hipCenter, scalePoint, imageWidth, imageHeight)};
  // A quarter more room around the body circle, as the pose landmark model expects.
  return transformRoi(body, {.scaleX = 1.25, .scaleY = 1.25, .squareLong = true}, imageWidth,
                      imageHeight);
}

NormalizedRotatedRect handRoiFromLandmarks(std::span<const NormalizedPoint> lm, int imageWidth,
                                           int imageHeight) {
  // The wrist, the finger bases and the first joints: points that keep the hand's extent
  // whatever the fingers do.
  constexpr int kSteady[] = {0, 1, 2, 3, 5, 6, 9, 10, 13, 14, 17, 18};
  constexpr int kWrist = 0, kIndexBase = 5, kMiddleBase = 9, kRingBase = 13;
  if (lm.size() < 21) return {};
  const NormalizedPoint knuckles{
      ((lm[kIndexBase].x + lm[kRingBase].x) / 2 + lm[kMiddleBase].x) / 2,
      ((lm[kIndexBase].y + lm[kRingBase].y) / 2 + lm[kMiddleBase].y) / 2};
  const double rotation = uprightRotation(lm[kWrist], knuckles, imageWidth, imageHeight);
  // The extent along the region's own axes, in pixels around the points' centre.
  double minX = 1e30, maxX = -1e30, minY = 1e30, maxY = -1e30;
  for (int i : kSteady) {
    minX = std::min(minX, lm[i].x);
    maxX = std::max(maxX, lm[i].x);
    minY = std::min(minY, lm[i].y);
    maxY = std::max(maxY, lm[i].y);
  }
  const double cx = (minX + maxX) / 2, cy = (minY + maxY) / 2;
  const double c = std::cos(rotation), s = std::sin(rotation);
  double minU = 1e30, maxU = -1e30, minV = 1e30, maxV = -1e30;
  for (int i : kSteady) {
    const double x = (lm[i].x - cx) * imageWidth, y = (lm[i].y - cy) * imageHeight;
    const double u = x * c + y * s, v = -x * s + y * c;
    minU = std::min(minU, u);
    maxU = std::max(maxU, u);
    minV = std::min(minV, v);
    maxV = std::max(maxV, v);
  }
  const double mu = (minU + maxU) / 2, mv = (minV + maxV) / 2;
  const NormalizedRotatedRect box{cx + (mu * c - mv * s) / imageWidth,
                                  cy + (mu * s + mv * c) / imageHeight, (maxU - minU) / imageWidth,
                                  (maxV - minV) / imageHeight, rotation};
  // Twice the palm-and-knuckles box, nudged towards the fingers, as the landmark model expects.
  return transformRoi(box, {.scaleX = 2.0, .scaleY = 2.0, .shiftY = -0.1, .squareLong = true},
                      imageWidth, imageHeight);
}

bool isUsable(const NormalizedRotatedRect& roi) {
  for (double v : {roi.xCenter, roi.yCenter, roi.width, roi.height, roi.rotation}) {
    if (!std::isfinite(v)) return false;
  }
  return roi.width > 0 && roi.height > 0;
}

PixelRotatedRect toPixels(const NormalizedRotatedRect& roi, int imageWidth, int imageHeight) {
  return {static_cast<float>(roi.xCenter * imageWidth),
          static_cast<float>(roi.yCenter * imageHeight), static_cast<float>(roi.width * imageWidth),
          static_cast<float>(roi.height * imageHeight), static_cast<float>(roi.rotation)};
}

}  // namespace talvex::vision::roi
