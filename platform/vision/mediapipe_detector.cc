#include "platform/vision/mediapipe_detector.h"

#include <algorithm>

#include "platform/vision/body_pipeline.h"
#include "platform/vision/face_regions.h"
#include "platform/vision/hand_pipeline.h"
#include "platform/vision/model_paths.h"

namespace talvex::vision {
namespace {

constexpr FaceRange kFaceRange = FaceRange::Full;
constexpr int kFaceDetectorThreads = 1;
constexpr int kFaceLandmarkThreads = 1;
constexpr float kMinFacePresence = 0.5f;

}  // namespace

MediaPipeDetector::~MediaPipeDetector() = default;

Result<std::unique_ptr<MediaPipeDetector>> MediaPipeDetector::load() {
  std::unique_ptr<MediaPipeDetector> d(new MediaPipeDetector());
  auto fd = FaceDetector::load(kFaceRange, kFaceDetectorThreads);
  if (!fd) return fd.status();
  d->faceDetector_ = std::move(fd.value());
  auto fl = FaceLandmarker::load(kFaceLandmarkThreads);
  if (!fl) return fl.status();
  d->faceLandmarker_ = std::move(fl.value());
  auto geometryPath = modelPath("geometry_pipeline_metadata_landmarks.binarypb");
  if (!geometryPath) return geometryPath.status();
  auto face = loadCanonicalFace(*geometryPath);
  if (!face) return face.status();
  d->canonicalFace_ = std::move(face.value());
  auto hands = HandPipeline::load();
  if (!hands) return hands.status();
  d->hands_ = std::move(hands.value());
  auto bodies = BodyPipeline::load();
  if (!bodies) return bodies.status();
  d->bodies_ = std::move(bodies.value());
  return d;
}

std::vector<FaceObservation> MediaPipeDetector::detectFaces(Status& status) {
  std::vector<FaceObservation> out;
  auto faces = faceDetector_->detect(rgb_);
  if (!faces) {
    status = faces.status();
    return out;
  }
  // Largest first, so the meshes go to the faces that matter.
  std::stable_sort(
      faces->begin(), faces->end(), [](const FaceDetection& a, const FaceDetection& b) {
        return (a.xmax - a.xmin) * (a.ymax - a.ymin) > (b.xmax - b.xmin) * (b.ymax - b.ymin);
      });
  const double w = rgb_.width, h = rgb_.height;
  for (size_t i = 0; i < faces->size(); ++i) {
    const FaceDetection& f = (*faces)[i];
    FaceObservation obs;
    // The detector's box, normalised, origin at the lower left.
    obs.boundingBox = {f.xmin / w, 1.0 - f.ymax / h, (f.xmax - f.xmin) / w, (f.ymax - f.ymin) / h};
    if (i < kMaxMeshFaces) {
      auto mesh = faceLandmarker_->run(rgb_, f);
      if (!mesh) {
        status = mesh.status();
        return {};
      }
      if (mesh->presence >= kMinFacePresence) {
        const Rect boxPixels{f.xmin, f.ymin, f.xmax - f.xmin, f.ymax - f.ymin};
        obs.landmarks = faceRegions(mesh->points, boxPixels);
        if (auto angles = estimateHeadAngles(canonicalFace_, mesh->points)) {
          obs.yaw = angles->yaw;
          obs.roll = angles->roll;
          obs.pitch = angles->pitch;
        }
      }
    }
    out.push_back(std::move(obs));
  }
  return out;
}

Status MediaPipeDetector::perform(const PixelBuffer& image, std::span<Request* const> requests) {
  if (Status s = convertToRgb(image, rgb_); !s) return s;
  bool faceWork = false;
  for (Request* r : requests)
    faceWork |= r->kind() == RequestKind::FaceLandmarks || r->kind() == RequestKind::FaceRectangles;
  std::vector<FaceObservation> faces;
  if (faceWork) {
    Status s = Status::ok();
    faces = detectFaces(s);
    if (!s) return s;
  }
  for (Request* r : requests) {
    switch (r->kind()) {
      case RequestKind::FaceLandmarks:
        static_cast<DetectFaceLandmarksRequest*>(r)->results = faces;
        break;
      case RequestKind::FaceRectangles: {
        // Rectangles with angles only; the landmark regions belong to the other request.
        std::vector<FaceObservation> rects = faces;
        for (auto& f : rects) f.landmarks.reset();
        static_cast<DetectFaceRectanglesRequest*>(r)->results = std::move(rects);
        break;
      }
      case RequestKind::HumanHandPose: {
        auto* hand = static_cast<DetectHumanHandPoseRequest*>(r);
        hand->results = hands_->detect(rgb_, std::max(0, hand->maximumHandCount));
        break;
      }
      case RequestKind::HumanBodyPose:
        static_cast<DetectHumanBodyPoseRequest*>(r)->results = bodies_->detect(rgb_);
        break;
    }
  }
  return Status::ok();
}

}  // namespace talvex::vision
