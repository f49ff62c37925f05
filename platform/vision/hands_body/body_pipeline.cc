#include "platform/vision/hands_body/body_pipeline.h"

#include "platform/vision/hands_body/landmark_readout.h"
#include "platform/vision/hands_body/roi_geometry.h"
#include "platform/vision/ops/model_check.h"
#include "platform/vision/ops/ssd_anchors.h"
#include "platform/vision/ops/weighted_nms.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision {
namespace {

constexpr int kDetectorInput = 224;
constexpr int kLandmarkInput = 256;
constexpr int kDetectorKeypoints = 4;
constexpr int kDetectorCoords = 4 + 2 * kDetectorKeypoints;
// Keypoint 0 is the centre of the hips, 1 a point on the circle around the whole body.
constexpr int kHipKeypoint = 0;
constexpr int kScaleKeypoint = 1;
constexpr float kNmsOverlap = 0.3f;

// The person detector's anchor layout: 28x28 and 14x14 maps with 2 anchors per cell and a
// 7x7 map shared by three layers (6 per cell), 2254 in all.
SsdAnchorOptions personAnchors() {
  SsdAnchorOptions o;
  o.inputWidth = o.inputHeight = kDetectorInput;
  o.strides = {8, 16, 32, 32, 32};
  o.minScale = 0.1484375f;
  o.maxScale = 0.75f;
  return o;
}

}  // namespace

struct BodyPipeline::Parts {
  std::unique_ptr<tflite::Model> detector;
  std::unique_ptr<tflite::Model> landmark;
  std::vector<Anchor> anchors;
  size_t boxes = 0, scores = 0;
  size_t landmarks = 0, presence = 0;
};

BodyPipeline::BodyPipeline(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
BodyPipeline::~BodyPipeline() = default;

Result<std::unique_ptr<BodyPipeline>> BodyPipeline::load() { return load(BodyModelChoice{}); }

Result<std::unique_ptr<BodyPipeline>> BodyPipeline::load(const BodyModelChoice& choice) {
  auto detector = loadModel(choice.detectorFile, choice.detectorThreads);
  if (!detector) return detector.status();
  // The segmentation mask, heatmap and world landmark heads are never read; leaving them out
  // saves a large share of the landmark model's work.
  auto landmark =
      loadModel(choice.landmarkFile, choice.landmarkThreads, {"Identity", "Identity_1"});
  if (!landmark) return landmark.status();
  return fromModels(std::move(*detector), std::move(*landmark), choice);
}

Result<std::unique_ptr<BodyPipeline>> BodyPipeline::fromModels(
    std::unique_ptr<tflite::Model> detector, std::unique_ptr<tflite::Model> landmark,
    const BodyModelChoice& choice) {
  using R = Result<std::unique_ptr<BodyPipeline>>;
  auto p = std::make_unique<Parts>();
  p->detector = std::move(detector);
  p->landmark = std::move(landmark);
  p->anchors = generateAnchors(personAnchors());
  const size_t n = p->anchors.size();
  if (auto s = checkSquareRgbInput(*p->detector, choice.detectorFile, kDetectorInput); !s) return s;
  if (auto s = checkSquareRgbInput(*p->landmark, choice.landmarkFile, kLandmarkInput); !s) return s;
  auto boxes = findOutput(*p->detector, choice.detectorFile, "Identity", n * kDetectorCoords);
  auto scores = findOutput(*p->detector, choice.detectorFile, "Identity_1", n);
  // Identity holds 39 landmarks of 5 values in input pixels, Identity_1 the pose flag (the
  // model ends it in a sigmoid).
  auto landmarks =
      findOutput(*p->landmark, choice.landmarkFile, "Identity", 5 * kPoseLandmarkCount);
  auto presence = findOutput(*p->landmark, choice.landmarkFile, "Identity_1", 1);
  for (const auto* r : {&boxes, &scores, &landmarks, &presence}) {
    if (!*r) return R(r->status());
  }
  p->boxes = *boxes;
  p->scores = *scores;
  p->landmarks = *landmarks;
  p->presence = *presence;
  return std::unique_ptr<BodyPipeline>(new BodyPipeline(std::move(p)));
}

Result<std::vector<BodyObservation>> BodyPipeline::detect(const RgbImage& frame) {
  std::vector<BodyObservation> bodies;
  if (frame.width <= 0 || frame.height <= 0) return bodies;
  Parts& p = *parts_;
  // The person detector takes values in -1..1.
  const Letterbox lb = letterboxToTensor(frame, kDetectorInput, -1.0f, 1.0f, p.detector->input(0));
  if (Status s = p.detector->invoke(); !s) return s;
  const size_t n = p.anchors.size();
  DecodeOptions decode;
  decode.numCoords = kDetectorCoords;
  decode.numKeypoints = kDetectorKeypoints;
  decode.xScale = decode.yScale = decode.wScale = decode.hScale = kDetectorInput;
  decode.minScore = static_cast<float>(kMinPersonScore);
  auto people = weightedNms(decodeDetections({p.detector->output(p.boxes), n * kDetectorCoords},
                                             {p.detector->output(p.scores), n}, p.anchors, decode),
                            kNmsOverlap);
  if (people.empty()) return bodies;

  const Detection& person = people.front();  // sorted by score
  auto toFrame = [&](const NormalizedKeyPoint& k) {
    double x = 0, y = 0;
    lb.transform.map(k.x, k.y, x, y);
    return NormalizedPoint{x / frame.width, y / frame.height};
  };
  const NormalizedRotatedRect region = roi::bodyRoiFromDetection(
      toFrame(person.keypoints[kHipKeypoint]), toFrame(person.keypoints[kScaleKeypoint]),
      frame.width, frame.height);
  if (!roi::isUsable(region)) return bodies;
  const CropTransform crop =
      warpToTensor(frame, roi::toPixels(region, frame.width, frame.height), kLandmarkInput,
                   kLandmarkInput, 0.0f, 1.0f, p.landmark->input(0));
  if (Status s = p.landmark->invoke(); !s) return s;
  const float presence = p.landmark->output(p.presence)[0];
  if (!(presence >= kMinPresence)) return bodies;  // also drops NaN
  auto body = bodyFromLandmarks({p.landmark->output(p.landmarks), 5 * kPoseLandmarkCount},
                                {crop, kLandmarkInput, frame.width, frame.height});
  if (body) bodies.push_back(std::move(*body));
  return bodies;
}

}  // namespace talvex::vision
