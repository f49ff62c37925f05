// The detector behind the four request kinds, built on MediaPipe's models: one RGB conversion
// and one face detection pass per frame serve both face requests; hands and bodies run their
// own two-stage pipelines on the same RGB frame.
#pragma once

#include <memory>

#include "platform/vision/face_detector.h"
#include "platform/vision/face_landmarker.h"
#include "platform/vision/head_pose.h"
#include "platform/vision/image_ops.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

class HandPipeline;
class BodyPipeline;

// Lifecycle: loaded once (all models), then perform() per frame. Threading: one thread at a time.
class MediaPipeDetector : public Detector {
 public:
  // At most this many faces, the largest first, get a mesh (and so landmarks and head angles).
  static constexpr size_t kMaxMeshFaces = 3;

  ~MediaPipeDetector() override;
  static Result<std::unique_ptr<MediaPipeDetector>> load();
  Status perform(const PixelBuffer& image, std::span<Request* const> requests) override;

 private:
  MediaPipeDetector() = default;
  std::vector<FaceObservation> detectFaces(Status& status);

  std::unique_ptr<FaceDetector> faceDetector_;
  std::unique_ptr<FaceLandmarker> faceLandmarker_;
  CanonicalFace canonicalFace_;
  std::unique_ptr<HandPipeline> hands_;
  std::unique_ptr<BodyPipeline> bodies_;
  RgbImage rgb_;  // the current frame, reused between frames
};

}  // namespace talvex::vision
