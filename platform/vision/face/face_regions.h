// Turns a face mesh into the eight landmark regions of a face observation. Each region is an
// ordered contour of mesh points; "left" and "right" are the subject's own. Points are given
// relative to the face's bounding box with the origin at its lower left and y up.
#pragma once

#include <vector>

#include "platform/vision/face/face_landmarker.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

// `boxPixels` is the face's bounding box in frame pixels.
FaceLandmarks faceRegions(const std::vector<PixelPoint3>& mesh, const PixelBox& boxPixels);

// Mesh indices of each region (contours in order), exposed for tests.
namespace mesh_index {
extern const std::vector<int> kLeftEye, kRightEye, kLeftEyebrow, kRightEyebrow, kOuterLips,
    kInnerLips;
inline constexpr int kRightIrisCentre = 468;  // the subject's right eye
inline constexpr int kLeftIrisCentre = 473;
}  // namespace mesh_index

}  // namespace talvex::vision
