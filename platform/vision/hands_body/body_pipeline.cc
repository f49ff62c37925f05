#include "platform/vision/hands_body/body_pipeline.h"

#include <optional>

#include "platform/vision/hands_body/landmark_readout.h"
#include "platform/vision/hands_body/roi_geometry.h"
#include "platform/vision/hands_body/two_stage_models.h"
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
// The landmark model gives the same two points for the next frame: 33 the hips' centre, 34
// the point on the body circle.
constexpr int kHipLandmark = 33;
constexpr int kScaleLandmark = 34;

// The person detector's anchor layout: 28x28 and 14x14 maps with 2 anchors per cell and a
// 7x7 map shared by three layers (6 per cell), 2254 in all.
SsdAnchorOptions personAnchors() {
  SsdAnchorOptions o;
  o.inputWidth = o.inputHeight = kDetectorInput;
  o.strides = {8, 16, 32, 32, 32};
  return o;
}

// The person detector gives a box and 4 keypoints per anchor; the pose model 39 landmarks of
// (x, y, z, visibility logit, presence logit) in input pixels (its segmentation mask, heatmap
// and world landmarks, a large share of its work, are not computed).
TwoStageShape bodyShape(const BodyModelChoice& choice, size_t anchors) {
  return {.detectorFile = choice.detectorFile,
          .detectorInput = kDetectorInput,
          .anchors = anchors,
          .boxValues = kDetectorCoords,
          .landmarkFile = choice.landmarkFile,
          .landmarkInput = kLandmarkInput,
          .landmarkValues = 5 * kPoseLandmarkCount};
}

}  // namespace

struct BodyPipeline::Parts {
  TwoStageModels models;
  std::vector<Anchor> anchors;
  // Where the body of the last frame is looked for in the next one.
  std::optional<NormalizedRotatedRect> followed;
};

BodyPipeline::BodyPipeline(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
BodyPipeline::~BodyPipeline() = default;

Result<std::unique_ptr<BodyPipeline>> BodyPipeline::load() { return load(BodyModelChoice{}); }

Result<std::unique_ptr<BodyPipeline>> BodyPipeline::load(const BodyModelChoice& choice) {
  std::vector<Anchor> anchors = generateAnchors(personAnchors());
  auto models = loadTwoStageModels(bodyShape(choice, anchors.size()), choice.detectorThreads,
                                   choice.landmarkThreads);
  if (!models) return models.status();
  return std::unique_ptr<BodyPipeline>(
      new BodyPipeline(std::make_unique<Parts>(Parts{std::move(*models), std::move(anchors), {}})));
}

Result<std::unique_ptr<BodyPipeline>> BodyPipeline::fromModels(
    std::unique_ptr<tflite::Model> detector, std::unique_ptr<tflite::Model> landmark,
    const BodyModelChoice& choice) {
  std::vector<Anchor> anchors = generateAnchors(personAnchors());
  auto models = checkTwoStageModels(std::move(detector), std::move(landmark),
                                    bodyShape(choice, anchors.size()));
  if (!models) return models.status();
  return std::unique_ptr<BodyPipeline>(
      new BodyPipeline(std::make_unique<Parts>(Parts{std::move(*models), std::move(anchors), {}})));
}

Result<std::vector<BodyObservation>> BodyPipeline::detect(const RgbImage& frame) {
  std::vector<BodyObservation> bodies;
  Parts& p = *parts_;
  p.followed.reset();
  if (frame.width <= 0 || frame.height <= 0) return bodies;
  // The person detector takes values in -1..1.
  const Letterbox lb =
      letterboxToTensor(frame, kDetectorInput, -1.0f, 1.0f, p.models.detector->input(0));
  if (Status s = p.models.detector->invoke(); !s) return s;
  const size_t n = p.anchors.size();
  DecodeOptions decode;
  decode.numCoords = kDetectorCoords;
  decode.numKeypoints = kDetectorKeypoints;
  decode.xScale = decode.yScale = decode.wScale = decode.hScale = kDetectorInput;
  decode.minScore = static_cast<float>(kMinPersonScore);
  auto people = weightedNms(
      decodeDetections({p.models.detector->output(p.models.boxes), n * kDetectorCoords},
                       {p.models.detector->output(p.models.scores), n}, p.anchors, decode),
      kDetectionMergeOverlap);
  if (people.empty()) return bodies;

  const Detection& person = people.front();  // sorted by score
  auto toFrame = [&](const NormalizedKeyPoint& k) {
    double x = 0, y = 0;
    lb.transform.map(k.x, k.y, x, y);
    return NormalizedPoint{x / frame.width, y / frame.height};
  };
  return landmarks(frame, roi::bodyRoiFromDetection(toFrame(person.keypoints[kHipKeypoint]),
                                                    toFrame(person.keypoints[kScaleKeypoint]),
                                                    frame.width, frame.height));
}

Result<std::vector<BodyObservation>> BodyPipeline::track(const RgbImage& frame, bool detectNow) {
  Parts& p = *parts_;
  if (detectNow || frame.width <= 0 || frame.height <= 0) return detect(frame);
  if (!p.followed) return std::vector<BodyObservation>{};
  const NormalizedRotatedRect region = *p.followed;
  auto bodies = landmarks(frame, region);
  if (!bodies) return bodies;
  if (bodies->empty()) return detect(frame);  // lost: look for it at once
  return bodies;
}

void BodyPipeline::forget() { parts_->followed.reset(); }

Result<std::vector<BodyObservation>> BodyPipeline::landmarks(const RgbImage& frame,
                                                             const NormalizedRotatedRect& region) {
  Parts& p = *parts_;
  p.followed.reset();
  std::vector<BodyObservation> bodies;
  if (!roi::isUsable(region)) return bodies;
  const CropTransform crop =
      warpToTensor(frame, roi::toPixels(region, frame.width, frame.height), kLandmarkInput,
                   kLandmarkInput, 0.0f, 1.0f, p.models.landmark->input(0));
  if (Status s = p.models.landmark->invoke(); !s) return s;
  const float presence = p.models.landmark->output(p.models.presence)[0];
  if (!(presence >= kMinPresence)) return bodies;  // also drops NaN
  const std::span<const float> values{p.models.landmark->output(p.models.landmarks),
                                      5 * kPoseLandmarkCount};
  auto body = bodyFromLandmarks(values, {crop, kLandmarkInput, frame.width, frame.height});
  if (!body) return bodies;
  bodies.push_back(std::move(*body));
  auto point = [&](int index) {
    double x = 0, y = 0;
    crop.map(values[5 * index] / kLandmarkInput, values[5 * index + 1] / kLandmarkInput, x, y);
    return NormalizedPoint{x / frame.width, y / frame.height};
  };
  p.followed = roi::bodyRoiFromDetection(point(kHipLandmark), point(kScaleLandmark), frame.width,
                                         frame.height);
  return bodies;
}

}  // namespace talvex::vision
