// The detector behind the four request kinds, built on MediaPipe's models: one RGB conversion
// per frame, one face pipeline pass serving both face requests, and the hand and body
// pipelines on the same RGB frame, the three branches spread over two threads.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/process/dispatch.h"
#include "platform/vision/face/face_pipeline.h"
#include "platform/vision/hands_body/hand_search.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/ops/scene_cut.h"
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

  std::unique_ptr<FacePipeline> faces;
  std::unique_ptr<HandPipeline> hands;
  std::unique_ptr<BodyPipeline> bodies;
};

// How a sequence of frames is followed. Between detections, faces, hands and the body are
// looked for where their landmarks were in the previous frame (one landmark pass each, no
// detector); the detectors run on every `detectEvery`th frame of a sequence and at once when a
// followed face, hand or body is lost. A cut (isSceneCut) starts a new sequence. detectEvery 1
// detects on every frame.
struct TrackingOptions {
  int detectEvery = 5;
};

// Lifecycle: loaded once (all models), then perform() per frame, startSequence() between
// sequences. Threading: one thread at a time calls in; the detector owns one worker thread,
// started with it and joined at its destruction, that takes branches of each perform() beside
// the calling thread.
class MediaPipeDetector : public Detector {
 public:
  // At most this many faces, the largest first, get a mesh (and so landmarks and head angles).
  static constexpr size_t kMaxMeshFaces = FacePipeline::kMaxMeshFaces;

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
  Status runBranches(std::span<Request* const> requests, bool detectNow, Found& found);

  MediaPipeModels models_;
  TrackingOptions tracking_;
  RgbImage rgb_;  // the current frame, reused between frames
  // The sequence being followed: frames performed since the last detection, and which requests
  // the last frame had (another set starts a new sequence).
  int sequenceFrame_ = 0;
  unsigned lastWork_ = 0;
  std::optional<SceneSignature> lastScene_;  // of the last frame, to notice cuts
  // The faces of the last frame (pixels), around which the hands of people far away are looked
  // for: the hand branch runs beside the face branch, so it takes the faces it can know.
  std::vector<PixelBox> lastFaces_;
  HandSearchPlanner handSearch_;
  // Declared last: joined first, before the models its work reads.
  SerialQueue branchWorker_{"vision.branches"};
};

}  // namespace talvex::vision
