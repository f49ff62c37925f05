#include "platform/vision/hands_body/landmark_readout.h"

#include <algorithm>
#include <limits>

#include "platform/vision/ops/ssd_anchors.h"

namespace talvex::vision {
namespace {

// From the crop's pixels to the frame, normalised, origin at the lower left.
Point toObservationPoint(const CropGeometry& crop, double x, double y) {
  double px = 0, py = 0;
  crop.transform.map(x / crop.inputSize, y / crop.inputSize, px, py);
  return {px / crop.frameWidth, 1.0 - py / crop.frameHeight};
}

double intoRange(double v) {
  if (v < 0 && v >= -kEdgeBand) return 0;
  if (v > 1 && v <= 1 + kEdgeBand) return 1;
  return v;
}

}  // namespace

std::optional<Point> inPicture(Point p) {
  const Point q{intoRange(p.x), intoRange(p.y)};
  // Written so that NaN is outside.
  if (!(q.x >= 0 && q.x <= 1 && q.y >= 0 && q.y <= 1)) return std::nullopt;
  return q;
}

HandObservation handFromLandmarks(std::span<const float> landmarks, const CropGeometry& crop,
                                  float presence) {
  HandObservation hand;
  if (landmarks.size() < 3 * static_cast<size_t>(kHandLandmarkCount)) return hand;
  if (auto wrist = inPicture(toObservationPoint(crop, landmarks[0], landmarks[1])))
    hand.setPoint(HandJoint::Wrist, {*wrist, presence});
  return hand;
}

PixelBox handBounds(std::span<const float> landmarks, const CropGeometry& crop) {
  if (landmarks.size() < 3 * static_cast<size_t>(kHandLandmarkCount)) return {};
  constexpr double kInf = std::numeric_limits<double>::infinity();
  PixelBox b{kInf, kInf, -kInf, -kInf};
  for (int i = 0; i < kHandLandmarkCount; ++i) {
    double x = 0, y = 0;
    crop.transform.map(landmarks[3 * i] / crop.inputSize, landmarks[3 * i + 1] / crop.inputSize, x,
                       y);
    b = {std::min(b.xmin, x), std::min(b.ymin, y), std::max(b.xmax, x), std::max(b.ymax, y)};
  }
  return b;
}

double overlapOfSmaller(const PixelBox& a, const PixelBox& b) {
  const double areaA = std::max(0.0, a.xmax - a.xmin) * std::max(0.0, a.ymax - a.ymin);
  const double areaB = std::max(0.0, b.xmax - b.xmin) * std::max(0.0, b.ymax - b.ymin);
  const double iw = std::max(0.0, std::min(a.xmax, b.xmax) - std::max(a.xmin, b.xmin));
  const double ih = std::max(0.0, std::min(a.ymax, b.ymax) - std::max(a.ymin, b.ymin));
  const double inter = iw * ih;
  const double smaller = std::min(areaA, areaB);
  // Written so that NaN boxes compare as no overlap.
  return smaller > 0 && inter > 0 ? inter / smaller : 0.0;
}

std::optional<BodyObservation> bodyFromLandmarks(std::span<const float> landmarks,
                                                 const CropGeometry& crop) {
  constexpr size_t kValues = 5;
  if (landmarks.size() < kValues * kPoseLandmarkCount) return std::nullopt;
  BodyObservation body;
  auto set = [&](BodyJoint joint, int index) {
    const float* v = landmarks.data() + kValues * static_cast<size_t>(index);
    if (auto at = inPicture(toObservationPoint(crop, v[0], v[1])))
      body.setPoint(joint, {*at, sigmoid(v[3])});
  };
  set(BodyJoint::LeftShoulder, kPoseLeftShoulder);
  set(BodyJoint::RightShoulder, kPoseRightShoulder);
  return body;
}

}  // namespace talvex::vision
