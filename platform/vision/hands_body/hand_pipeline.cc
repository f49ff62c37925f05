#include "platform/vision/hands_body/hand_pipeline.h"

#include <algorithm>

#include "platform/vision/hands_body/landmark_readout.h"
#include "platform/vision/hands_body/roi_geometry.h"
#include "platform/vision/hands_body/two_stage_models.h"
#include "platform/vision/ops/ssd_anchors.h"
#include "platform/vision/ops/weighted_nms.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision {
namespace {

constexpr int kPalmInput = 192;
constexpr int kLandmarkInput = 224;
constexpr int kPalmKeypoints = 7;
constexpr int kPalmCoords = 4 + 2 * kPalmKeypoints;
constexpr int kWristKeypoint = 0;
constexpr int kMiddleKnuckleKeypoint = 2;

// The palm detector's anchor layout: one 24x24 map with 2 anchors per cell and one 12x12 map
// shared by three layers (6 per cell), 2016 in all.
SsdAnchorOptions palmAnchors() {
  SsdAnchorOptions o;
  o.inputWidth = o.inputHeight = kPalmInput;
  o.strides = {8, 16, 16, 16};
  return o;
}

// The palm detector gives a box and 7 keypoints per anchor; the hand model 21 landmarks of
// (x, y, z) in input pixels (its handedness and world landmark heads are not computed).
TwoStageShape handShape(const HandModelChoice& choice, size_t anchors) {
  return {.detectorFile = choice.palmFile,
          .detectorInput = kPalmInput,
          .anchors = anchors,
          .boxValues = kPalmCoords,
          .landmarkFile = choice.landmarkFile,
          .landmarkInput = kLandmarkInput,
          .landmarkValues = 3 * kHandLandmarkCount};
}

}  // namespace

struct HandPipeline::Parts {
  TwoStageModels models;
  std::vector<Anchor> anchors;
};

HandPipeline::HandPipeline(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
HandPipeline::~HandPipeline() = default;

Result<std::unique_ptr<HandPipeline>> HandPipeline::load() { return load(HandModelChoice{}); }

Result<std::unique_ptr<HandPipeline>> HandPipeline::load(const HandModelChoice& choice) {
  std::vector<Anchor> anchors = generateAnchors(palmAnchors());
  auto models = loadTwoStageModels(handShape(choice, anchors.size()), choice.palmThreads,
                                   choice.landmarkThreads);
  if (!models) return models.status();
  return std::unique_ptr<HandPipeline>(
      new HandPipeline(std::make_unique<Parts>(Parts{std::move(*models), std::move(anchors)})));
}

Result<std::unique_ptr<HandPipeline>> HandPipeline::fromModels(
    std::unique_ptr<tflite::Model> palm, std::unique_ptr<tflite::Model> landmark,
    const HandModelChoice& choice) {
  std::vector<Anchor> anchors = generateAnchors(palmAnchors());
  auto models =
      checkTwoStageModels(std::move(palm), std::move(landmark), handShape(choice, anchors.size()));
  if (!models) return models.status();
  return std::unique_ptr<HandPipeline>(
      new HandPipeline(std::make_unique<Parts>(Parts{std::move(*models), std::move(anchors)})));
}

Result<std::vector<HandObservation>> HandPipeline::detect(const RgbImage& frame, int maxHands) {
  std::vector<HandObservation> hands;
  if (maxHands <= 0 || frame.width <= 0 || frame.height <= 0) return hands;
  Parts& p = *parts_;
  const Letterbox lb =
      letterboxToTensor(frame, kPalmInput, 0.0f, 1.0f, p.models.detector->input(0));
  if (Status s = p.models.detector->invoke(); !s) return s;
  const size_t n = p.anchors.size();
  DecodeOptions decode;
  decode.numCoords = kPalmCoords;
  decode.numKeypoints = kPalmKeypoints;
  decode.xScale = decode.yScale = decode.wScale = decode.hScale = kPalmInput;
  decode.minScore = static_cast<float>(kMinPalmScore);
  auto palms = weightedNms(
      decodeDetections({p.models.detector->output(p.models.boxes), n * kPalmCoords},
                       {p.models.detector->output(p.models.scores), n}, p.anchors, decode),
      kDetectionMergeOverlap);
  // Two palm boxes can survive suppression on one hand (palm and knuckles); the duplicate is
  // recognised by its landmarks, so a few spare palms are looked at to fill maxHands.
  const size_t palmLimit = 2 * static_cast<size_t>(maxHands);
  if (palms.size() > palmLimit) palms.resize(palmLimit);

  const double w = frame.width, h = frame.height;
  auto toFrame = [&](double s, double t) {
    double x = 0, y = 0;
    lb.transform.map(s, t, x, y);
    return NormalizedPoint{x / w, y / h};
  };
  std::vector<PixelBox> kept;
  for (const Detection& palm : palms) {
    if (hands.size() == static_cast<size_t>(maxHands)) break;
    const NormalizedPoint center =
        toFrame((palm.xmin + palm.xmax) / 2, (palm.ymin + palm.ymax) / 2);
    const double boxW = palm.width() * lb.transform.axX / w;
    const double boxH = palm.height() * lb.transform.ayY / h;
    const auto& kp = palm.keypoints;
    const NormalizedRotatedRect region = roi::handRoiFromPalm(
        center, boxW, boxH, toFrame(kp[kWristKeypoint].x, kp[kWristKeypoint].y),
        toFrame(kp[kMiddleKnuckleKeypoint].x, kp[kMiddleKnuckleKeypoint].y), frame.width,
        frame.height);
    if (!roi::isUsable(region)) continue;
    const CropTransform crop =
        warpToTensor(frame, roi::toPixels(region, frame.width, frame.height), kLandmarkInput,
                     kLandmarkInput, 0.0f, 1.0f, p.models.landmark->input(0));
    if (Status s = p.models.landmark->invoke(); !s) return s;
    const float presence = p.models.landmark->output(p.models.presence)[0];
    if (!(presence >= kMinPresence)) continue;  // also drops NaN
    const std::span<const float> landmarks{p.models.landmark->output(p.models.landmarks),
                                           3 * kHandLandmarkCount};
    const CropGeometry geometry{crop, kLandmarkInput, frame.width, frame.height};
    const PixelBox bounds = handBounds(landmarks, geometry);
    if (std::any_of(kept.begin(), kept.end(), [&](const PixelBox& k) {
          return overlapOfSmaller(k, bounds) > kSameHandOverlap;
        })) {
      continue;
    }
    kept.push_back(bounds);
    hands.push_back(handFromLandmarks(landmarks, geometry, presence));
  }
  return hands;
}

}  // namespace talvex::vision
