#include "platform/vision/landmark_readout.h"

namespace talvex::vision {
namespace {

// From the crop's pixels to the frame, origin at the lower left.
Point toObservationPoint(const roi::NormalizedRoi& roi, double x, double y, int inputSize) {
  const roi::Point2 p = roi::projectFromRoi(roi, {x / inputSize, y / inputSize});
  return {p.x, 1.0 - p.y};
}

}  // namespace

HandObservation handFromLandmarks(std::span<const float> landmarks, int inputSize,
                                  const roi::NormalizedRoi& roi, float presence) {
  HandObservation hand;
  if (landmarks.size() < 3) return hand;
  hand.setPoint(HandJoint::Wrist,
                {toObservationPoint(roi, landmarks[0], landmarks[1], inputSize), presence});
  return hand;
}

std::optional<BodyObservation> bodyFromLandmarks(std::span<const float> landmarks, int inputSize,
                                                 const roi::NormalizedRoi& roi) {
  constexpr size_t kValues = 5;
  if (landmarks.size() < kValues * kPoseLandmarkCount) return std::nullopt;
  BodyObservation body;
  auto set = [&](BodyJoint joint, int index) {
    const float* v = landmarks.data() + kValues * static_cast<size_t>(index);
    body.setPoint(joint, {toObservationPoint(roi, v[0], v[1], inputSize),
                          static_cast<float>(roi::sigmoid(v[3]))});
  };
  set(BodyJoint::LeftShoulder, kPoseLeftShoulder);
  set(BodyJoint::RightShoulder, kPoseRightShoulder);
  return body;
}

}  // namespace talvex::vision
