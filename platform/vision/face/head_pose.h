// Head angles from the face mesh: the canonical face model is fitted to the mesh by a weighted
// similarity transform (rotation, scale, shift) over stable landmarks, and the rotation is read
// as yaw, pitch and roll.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/face/face_landmarker.h"

namespace talvex::vision {

// Radians. Seen from the camera in the upright, unmirrored frame:
//  yaw   > 0: the nose points towards the right of the frame (the subject turns to their own left);
//  pitch > 0: the nose points up;
//  roll  > 0: the head leans counter-clockwise on screen (towards the subject's own right
//  shoulder).
struct HeadAngles {
  double yaw = 0, pitch = 0, roll = 0;
};

// The canonical face: one 3-D point per mesh landmark (x right, y up, z towards the viewer, in
// centimetres) and the landmarks (with weights) that carry the fit.
struct CanonicalFace {
  std::vector<ModelPoint3> vertices;
  std::vector<std::pair<int, double>> basis;
};

// Reads the face geometry metadata (a protocol buffer) from its bytes.
Result<CanonicalFace> parseCanonicalFace(std::span<const uint8_t> bytes);
Result<CanonicalFace> loadCanonicalFace(const std::string& path);

// Fits `face` to the mesh (frame pixels, y down, depth away from the camera). Fails when the
// mesh is too small or degenerate for a fit.
Result<HeadAngles> estimateHeadAngles(const CanonicalFace& face,
                                      const std::vector<PixelPoint3>& mesh);

}  // namespace talvex::vision
