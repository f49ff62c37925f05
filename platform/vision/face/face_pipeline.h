// The faces of a sequence of frames: BlazeFace on the whole letterboxed frame and on
// overlapping tiles (people further away), the attention face mesh on each face (largest
// first), the landmark regions and the head angles fitted to the canonical face. Between
// detections the faces are followed by their meshes.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/face/face_detector.h"
#include "platform/vision/face/face_landmarker.h"
#include "platform/vision/face/head_pose.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

// Lifecycle: made from loaded models (takes them), then track() per frame of a sequence and
// forget() between sequences. Threading: one thread at a time; the pipeline keeps the faces it
// follows between calls.
class FacePipeline {
 public:
  // At most this many faces, the largest first, get a mesh (and so landmarks and head angles).
  static constexpr size_t kMaxMeshFaces = 3;

  FacePipeline(std::unique_ptr<FaceDetector> detector, std::unique_ptr<FaceLandmarker> landmarker,
               CanonicalFace canonicalFace);
  ~FacePipeline();
  FacePipeline(const FacePipeline&) = delete;
  FacePipeline& operator=(const FacePipeline&) = delete;

  // The face detector this pipeline runs (full range).
  static Result<std::unique_ptr<FaceDetector>> loadDetector(int threads);

  // The faces of `frame`, largest first, boxes normalised with the origin at the lower left.
  // Detects when `detectNow`, when nothing is followed yet, or at once when a followed face is
  // lost; otherwise follows the last frame's faces by their meshes, without the detector. A
  // face followed until a detection misses it is followed on while its mesh holds. Fails when a
  // model run fails: a failure is never reported as "no face".
  Result<std::vector<FaceObservation>> track(const RgbImage& frame, bool detectNow);
  // Forgets the faces followed: the next frame starts a sequence (and looks in every tile).
  void forget();

 private:
  // Faces in the whole frame and in overlapping tiles; `needsMesh` marks those found only in
  // a tile, which count only with a mesh.
  Result<std::vector<FaceDetection>> findFaces(std::vector<bool>& needsMesh);
  Result<std::vector<FaceObservation>> detectFaces();
  Result<std::vector<FaceObservation>> trackFaces(bool detectNow);
  // After a detection that found `faces` (each with a mesh): adds the faces followed until now
  // (`before`) that it did not find again, while their meshes still see a face.
  Result<std::vector<FaceObservation>> keepMissedFaces(const std::vector<PixelRotatedRect>& before,
                                                       std::vector<FaceObservation> faces);
  FaceObservation faceFromMesh(const FaceMesh& mesh) const;

  std::unique_ptr<FaceDetector> detector_;
  std::unique_ptr<FaceLandmarker> landmarker_;
  CanonicalFace canonicalFace_;
  const RgbImage* rgb_ = nullptr;  // the frame of the track() call under way
  // The mesh crops of the last frame's faces, or nothing when a face had no mesh to follow it
  // by.
  std::optional<std::vector<PixelRotatedRect>> followedFaces_;
  // Whether the sequence has had its first detection yet, and which half of the tiles the next
  // detection looks in.
  bool freshSequence_ = true;
  size_t tileTurn_ = 0;
};

}  // namespace talvex::vision
