// The detector behind the four request kinds, built on MediaPipe's models: one RGB conversion
// and one face detection pass per frame serve both face requests; hands and bodies run their
// own two-stage pipelines on the same RGB frame.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/vision/face/face_detector.h"
#include "platform/vision/face/face_landmarker.h"
#include "platform/vision/face/head_pose.h"
#include "platform/vision/hands_body/hand_search.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

class HandPipeline;
class BodyPipeline;

// Everything a MediaPipeDetector runs, loaded.
struct MediaPipeModels {
  MediaPipeModels();
  MediaPipeModels(MediaPipeModels&&) noexcept;
  MediaPipeModels& operator=(MediaPipeModels&&) noexcept;
  ~MediaPipeModels();

  std::unique_ptr<FaceDetector> faceDetector;
  std::unique_ptr<FaceLandmarker> faceLandmarker;
  CanonicalFace canonicalFace;
  std::unique_ptr<HandPipeline> hands;
  std::unique_ptr<BodyPipeline> bodies;
};

// How a sequence of frames is followed. Between detections, faces, hands and the body are
// looked for where their landmarks were in the previous frame (one landmark pass each, no
// detector); the detectors run on every `detectEvery`th frame of a sequence and at once when a
// followed face, hand or body is lost. detectEvery 1 detects on every frame.
struct TrackingOptions {
  int detectEvery = 5;
};

// Lifecycle: loaded once (all models), then perform() per frame, startSequence() between
// sequences. Threading: one thread at a time.
class MediaPipeDetector : public Detector {
 public:
  // At most this many faces, the largest first, get a mesh (and so landmarks and head angles).
  static constexpr size_t kMaxMeshFaces = 3;

  ~MediaPipeDetector() override;
  // Loads every model; fails with the first model's message that cannot be used.
  static Result<std::unique_ptr<MediaPipeDetector>> load();
  static Result<MediaPipeModels> loadModels();
  // A detector running the given models (takes them).
  explicit MediaPipeDetector(MediaPipeModels models, TrackingOptions tracking = {});

  // Fails when any requested branch fails (a model run, the RGB conversion): a failure is
  // never reported as a frame without faces, hands or bodies.
  Status perform(const PixelBuffer& image, std::span<Request* const> requests) override;
  void startSequence() override;

 private:
  struct Found;
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
  Status runBranches(std::span<Request* const> requests, bool detectNow, Found& found);

  MediaPipeModels models_;
  TrackingOptions tracking_;
  RgbImage rgb_;  // the current frame, reused between frames
  // The sequence being followed: frames performed since the last detection, which requests the last
  // frame had (another set starts a new sequence), and the mesh crops of the last frame's
  // faces, or nothing when a face had no mesh to follow it by.
  int sequenceFrame_ = 0;
  unsigned lastWork_ = 0;
  std::optional<std::vector<PixelRotatedRect>> followedFaces_;
  // Whether the sequence has had its first detection yet, and which half of the tiles the next
  // detection looks in.
  bool freshSequence_ = true;
  size_t tileTurn_ = 0;
  // The faces of the last frame (pixels), around which the hands of people far away are looked
  // for: the hand branch runs beside the face branch, so it takes the faces it can know.
  std::vector<PixelBox> lastFaces_;
  HandSearchPlanner handSearch_;
};

}  // namespace talvex::vision
