// Reading the landmark models' output tensors into observations: the step where coordinates
// leave the crop, go back into the frame and have their y turned over (the models count
// rows downwards, observations have their origin at the lower left).
#pragma once

#include <optional>
#include <span>

#include "platform/vision/ops/image_ops.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

// Where a landmark model's input came from: the crop's transform (tensor to frame pixels),
// the tensor's side in pixels and the frame's size.
struct CropGeometry {
  CropTransform transform;
  int inputSize = 0;
  int frameWidth = 0;
  int frameHeight = 0;
};

// The hand model gives 21 landmarks as (x, y, z) in pixels of its square input; the wrist is
// landmark 0. `presence` is the model's hand flag, already a probability. Only the wrist is
// offered.
HandObservation handFromLandmarks(std::span<const float> landmarks, const CropGeometry& crop,
                                  float presence);

// The pose model gives 39 landmarks as (x, y, z, visibility logit, presence logit) in pixels
// of its square input; 11 is the subject's left shoulder, 12 the right, each with its
// visibility after the sigmoid as confidence. Nothing when the tensor is too short.
std::optional<BodyObservation> bodyFromLandmarks(std::span<const float> landmarks,
                                                 const CropGeometry& crop);

// The box around all 21 hand landmarks, in frame pixels; empty when the tensor is short.
PixelBox handBounds(std::span<const float> landmarks, const CropGeometry& crop);

// How much of the smaller box lies inside the other: 1 when one contains the other, 0 when
// they are apart or either is empty.
double overlapOfSmaller(const PixelBox& a, const PixelBox& b);

inline constexpr int kHandLandmarkCount = 21;
inline constexpr int kPoseLandmarkCount = 39;
inline constexpr int kPoseLeftShoulder = 11;
inline constexpr int kPoseRightShoulder = 12;

}  // namespace talvex::vision
