#include "platform/vision/mediapipe_detector.h"

#include <algorithm>
#include <atomic>
#include <functional>

#include "platform/process/dispatch.h"
#include "platform/vision/hands_body/body_pipeline.h"
#include "platform/vision/hands_body/hand_pipeline.h"
#include "platform/vision/ops/model_check.h"
#include "platform/vision/ops/model_paths.h"
#include "platform/vision/ops/scene_cut.h"

namespace talvex::vision {
namespace {

// The largest whole-frame letterbox the detectors take (the pose detector's 224; faces and
// palms take 192). A reduced copy of the frame twice that size serves all three letterboxes;
// a detector whose letterbox outgrew it would scale from the whole frame again.
constexpr int kLargestLetterbox = 224;

}  // namespace

MediaPipeModels::MediaPipeModels() = default;
MediaPipeModels::MediaPipeModels(MediaPipeModels&&) noexcept = default;
MediaPipeModels& MediaPipeModels::operator=(MediaPipeModels&&) noexcept = default;
MediaPipeModels::~MediaPipeModels() = default;

MediaPipeDetector::MediaPipeDetector(MediaPipeModels models, TrackingOptions tracking)
    : models_(std::move(models)), tracking_(tracking) {
  tracking_.detectEvery = std::max(1, tracking_.detectEvery);
}
MediaPipeDetector::~MediaPipeDetector() = default;

Result<std::unique_ptr<MediaPipeDetector>> MediaPipeDetector::load() {
  auto models = loadModels();
  if (!models) return models.status();
  return std::make_unique<MediaPipeDetector>(std::move(models.value()));
}

Result<MediaPipeModels> MediaPipeDetector::loadModels() {
  // Loading is mostly packing weights for the CPU, model by model, sharing nothing: two
  // threads, one per core, each loading about half of the weights, take half the time.
  // (Start-up matters for short clips and for the first records of a live session.)
  MediaPipeModels m;
  std::unique_ptr<FaceDetector> faceDetector;
  Status beside = Status::ok();
  auto loadBeside = [&m, &faceDetector]() -> Status {
    auto bodies = BodyPipeline::load();
    if (!bodies) return bodies.status();
    m.bodies = std::move(bodies.value());
    auto fd = FacePipeline::loadDetector(kModelThreads);
    if (!fd) return fd.status();
    faceDetector = std::move(fd.value());
    return Status::ok();
  };
  std::unique_ptr<FaceLandmarker> landmarker;
  CanonicalFace canonicalFace;
  auto loadHere = [&]() -> Status {
    auto fl = FaceLandmarker::load(kModelThreads);
    if (!fl) return fl.status();
    landmarker = std::move(fl.value());
    auto geometryPath = modelPath("geometry_pipeline_metadata_landmarks.binarypb");
    if (!geometryPath) return geometryPath.status();
    auto face = loadCanonicalFace(*geometryPath);
    if (!face) return face.status();
    canonicalFace = std::move(face.value());
    auto hands = HandPipeline::load();
    if (!hands) return hands.status();
    m.hands = std::move(hands.value());
    return Status::ok();
  };
  Status here = Status::ok();
  {
    // The loader fills `m` and is joined, at the end of this block, before `m` is read.
    SerialQueue loader("vision.load");
    loader.async([&] { beside = loadBeside(); });
    here = loadHere();
  }
  if (!here) return here;
  if (!beside) return beside;
  m.faces = std::make_unique<FacePipeline>(std::move(faceDetector), std::move(landmarker),
                                           std::move(canonicalFace));
  return m;
}

// What one perform found, branch by branch.
struct MediaPipeDetector::Found {
  std::vector<FaceObservation> faces;
  std::vector<HandObservation> hands;
  std::vector<BodyObservation> bodies;
};

namespace {

// Runs one branch: its results into `into` on success, its failure into `status`.
template <class T>
void runBranch(Result<T> result, T& into, Status& status) {
  if (!result) {
    status = result.status();
    return;
  }
  into = std::move(result.value());
}

}  // namespace

Status MediaPipeDetector::runBranches(std::span<Request* const> requests, bool detectNow,
                                      Found& found) {
  bool faceWork = false;
  const DetectHumanHandPoseRequest* handReq = nullptr;
  bool bodyWork = false;
  for (Request* r : requests) {
    faceWork |= r->kind() == RequestKind::FaceLandmarks || r->kind() == RequestKind::FaceRectangles;
    bodyWork |= r->kind() == RequestKind::HumanBodyPose;
    if (r->kind() == RequestKind::HumanHandPose)
      handReq = static_cast<const DetectHumanHandPoseRequest*>(r);
  }
  // Faces, hands and bodies share nothing but the read-only RGB frame, so the branches run on
  // two threads, one model per thread (no XNNPACK workers spinning). Each thread takes the next
  // branch, longest first. On a detecting frame the face branch (whole frame, tiles, meshes) is
  // about as long as the other two together (measured 23, 11 and 11 ms), so it gets a core to
  // itself while the body and then the hands take the other; between detections the three are
  // short and about even. Three threads on two cores would share both cores three ways and
  // finish the longest branch last.
  const int maxHands = handReq ? std::max(0, handReq->maximumHandCount) : 0;
  // Hands of people far away are looked for around their faces. This frame's faces are found
  // beside the hands, so the search takes the last frame's: a tenth of a second earlier at the
  // analysis cadence, and the search region is six face widths wide. (Waiting for this frame's
  // faces would put the face and hand branches one after the other.)
  const HandSearchRegions handSearch =
      handReq ? handSearch_.plan(lastFaces_, detectNow, rgb_.width, rgb_.height)
              : HandSearchRegions{};
  Status faceStatus = Status::ok(), handStatus = Status::ok(), bodyStatus = Status::ok();
  std::vector<std::function<void()>> branches;
  if (faceWork)
    branches.push_back(
        [&] { runBranch(models_.faces->track(rgb_, detectNow), found.faces, faceStatus); });
  if (bodyWork)
    branches.push_back(
        [&] { runBranch(models_.bodies->track(rgb_, detectNow), found.bodies, bodyStatus); });
  if (handReq)
    branches.push_back([&] {
      runBranch(models_.hands->track(rgb_, maxHands, detectNow, handSearch), found.hands,
                handStatus);
    });
  std::atomic<size_t> next{0};
  auto takeBranches = [&] {
    for (size_t i = next++; i < branches.size(); i = next++) branches[i]();
    return true;
  };
  // The worker is always waited for before returning: it reads rgb_ and the pipelines.
  Semaphore workerDone{0};
  const bool beside = branches.size() > 1;
  if (beside)
    branchWorker_.async([&] {
      takeBranches();
      workerDone.release();
    });
  takeBranches();
  if (beside) workerDone.acquire();
  if (!bodyStatus) return bodyStatus;
  if (!handStatus) return handStatus;
  return faceStatus;
}

void MediaPipeDetector::startSequence() {
  sequenceFrame_ = 0;
  models_.faces->forget();
  lastFaces_.clear();
  handSearch_.forget();
  models_.hands->forget();
  models_.bodies->forget();
}

Status MediaPipeDetector::perform(const PixelBuffer& image, std::span<Request* const> requests) {
  unsigned work = 0;
  for (Request* r : requests) work |= 1u << static_cast<unsigned>(r->kind());
  if (work != lastWork_ || (rgb_.width != image.width() || rgb_.height != image.height()))
    startSequence();
  lastWork_ = work;
  if (Status s = convertToRgb(image, rgb_); !s) {
    startSequence();
    return s;
  }
  // At a cut nothing followed is there any more, and what is new may be small and far away:
  // the frame starts a sequence, with a detection in every tile.
  const SceneSignature scene = sceneSignature(rgb_);
  if (lastScene_ && isSceneCut(*lastScene_, scene)) startSequence();
  lastScene_ = scene;
  addLetterboxSource(rgb_, kLargestLetterbox);
  const bool detectNow = sequenceFrame_ == 0;
  sequenceFrame_ = (sequenceFrame_ + 1) % tracking_.detectEvery;
  Found found;
  if (Status s = runBranches(requests, detectNow, found); !s) {
    // What a failed frame left behind is not followed.
    startSequence();
    return s;
  }
  lastFaces_.clear();
  for (const FaceObservation& f : found.faces)
    lastFaces_.push_back(inPixels(f.boundingBox, rgb_.width, rgb_.height));
  for (Request* r : requests) {
    switch (r->kind()) {
      case RequestKind::FaceLandmarks:
        static_cast<DetectFaceLandmarksRequest*>(r)->results = found.faces;
        break;
      case RequestKind::FaceRectangles: {
        // Rectangles with angles only; the landmark regions belong to the other request.
        std::vector<FaceObservation> rects = found.faces;
        for (auto& f : rects) f.landmarks.reset();
        static_cast<DetectFaceRectanglesRequest*>(r)->results = std::move(rects);
        break;
      }
      case RequestKind::HumanHandPose:
        static_cast<DetectHumanHandPoseRequest*>(r)->results = found.hands;
        break;
      case RequestKind::HumanBodyPose:
        static_cast<DetectHumanBodyPoseRequest*>(r)->results = found.bodies;
        break;
    }
  }
  return Status::ok();
}

}  // namespace talvex::vision
