// Turns a face mesh into the eight landmark regions of a face observation. Each region is an
// ordered contour of mesh points; "left" and "right" are the subject's own. Points are given
// relative to the face's bounding box with the origin at its lower left and y up.
#pragma once

#include <vector>

#include "platform/vision/face/face_landmarker.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

// `box` is the face's bounding box in frame pixels (x, y of its top-left corner, y down).
FaceLandmarks faceRegions(const std::vector<Point3>& mesh, const Rect& boxPixels);

// Mesh indices of each region (contours in order), exposed for tests.
namespace mesh_index {
extern const std::vector<int> kLeftEye, kRightEye, kLeftEyebrow, kRightEyebrow, kOuterLips,
    kInnerLips;
inline constexpr int kRightIrisCentre = 468;  // the subject's right eye
inline constexpr int kLeftIrisCentre = 473;
}  // namespace mesh_index

}  // namespace talvex::vision
