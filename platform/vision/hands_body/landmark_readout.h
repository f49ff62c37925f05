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

// How far outside the picture (a fraction of its width or height) a joint's estimate may lie
// and still count as a joint at the picture's edge. The models place joints they cannot see
// as well as they can, which is well outside the picture at times; their error for joints near
// the edge is about this large, so within it the estimate says "at the edge" and is pulled
// onto it, beyond it the joint's lookup fails. Chosen from crops of the test photographs with
// the shoulders put at known places against the edge (docs/vision_hands_body.md).
inline constexpr double kEdgeBand = 0.08;

// A joint's place, normalised, in the picture: moved onto the edge when it lies within
// kEdgeBand outside, nothing when it lies further out.
std::optional<Point> inPicture(Point p);

// The hand model gives 21 landmarks as (x, y, z) in pixels of its square input; the wrist is
// landmark 0. `presence` is the model's hand flag, already a probability. Only the wrist is
// offered, and only when it lies in the picture (inPicture).
HandObservation handFromLandmarks(std::span<const float> landmarks, const CropGeometry& crop,
                                  float presence);

// The pose model gives 39 landmarks as (x, y, z, visibility logit, presence logit) in pixels
// of its square input; 11 is the subject's left shoulder, 12 the right, each with its
// visibility after the sigmoid as confidence, each only when it lies in the picture
// (inPicture). Nothing when the tensor is too short.
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
