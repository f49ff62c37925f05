#include "platform/vision/landmark_readout.h"

#include "platform/vision/ssd_anchors.h"

namespace talvex::vision {
namespace {

// From the crop's pixels to the frame, normalised, origin at the lower left.
Point toObservationPoint(const CropGeometry& crop, double x, double y) {
  double px = 0, py = 0;
  crop.transform.map(x / crop.inputSize, y / crop.inputSize, px, py);
  return {px / crop.frameWidth, 1.0 - py / crop.frameHeight};
}

}  // namespace

HandObservation handFromLandmarks(std::span<const float> landmarks, const CropGeometry& crop,
                                  float presence) {
  HandObservation hand;
  if (landmarks.size() < 3 * static_cast<size_t>(kHandLandmarkCount)) return hand;
  hand.setPoint(HandJoint::Wrist, {toObservationPoint(crop, landmarks[0], landmarks[1]), presence});
  return hand;
}

std::optional<BodyObservation> bodyFromLandmarks(std::span<const float> landmarks,
                                                 const CropGeometry& crop) {
  constexpr size_t kValues = 5;
  if (landmarks.size() < kValues * kPoseLandmarkCount) return std::nullopt;
  BodyObservation body;
  auto set = [&](BodyJoint joint, int index) {
    const float* v = landmarks.data() + kValues * static_cast<size_t>(index);
    body.setPoint(joint, {toObservationPoint(crop, v[0], v[1]), sigmoid(v[3])});
  };
  set(BodyJoint::LeftShoulder, kPoseLeftShoulder);
  set(BodyJoint::RightShoulder, kPoseRightShoulder);
  return body;
}

}  // namespace talvex::vision
