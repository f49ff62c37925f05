#include "platform/vision/hands_body/hand_pipeline.h"

#include <algorithm>

#include "platform/vision/hands_body/landmark_readout.h"
#include "platform/vision/hands_body/roi_geometry.h"
#include "platform/vision/ops/model_check.h"
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
constexpr float kNmsOverlap = 0.3f;

// The palm detector's anchor layout: one 24x24 map with 2 anchors per cell and one 12x12 map
// shared by three layers (6 per cell), 2016 in all.
SsdAnchorOptions palmAnchors() {
  SsdAnchorOptions o;
  o.inputWidth = o.inputHeight = kPalmInput;
  o.strides = {8, 16, 16, 16};
  o.minScale = 0.1484375f;
  o.maxScale = 0.75f;
  return o;
}

}  // namespace

struct HandPipeline::Parts {
  std::unique_ptr<tflite::Model> palm;
  std::unique_ptr<tflite::Model> landmark;
  std::vector<Anchor> anchors;
  size_t palmBoxes = 0, palmScores = 0;
  size_t landmarks = 0, presence = 0;
};

HandPipeline::HandPipeline(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
HandPipeline::~HandPipeline() = default;

Result<std::unique_ptr<HandPipeline>> HandPipeline::load() { return load(HandModelChoice{}); }

Result<std::unique_ptr<HandPipeline>> HandPipeline::load(const HandModelChoice& choice) {
  auto palm = loadModel(choice.palmFile, choice.palmThreads);
  if (!palm) return palm.status();
  // Handedness and world landmarks are never read.
  auto landmark =
      loadModel(choice.landmarkFile, choice.landmarkThreads, {"Identity", "Identity_1"});
  if (!landmark) return landmark.status();
  return fromModels(std::move(*palm), std::move(*landmark), choice);
}

Result<std::unique_ptr<HandPipeline>> HandPipeline::fromModels(
    std::unique_ptr<tflite::Model> palm, std::unique_ptr<tflite::Model> landmark,
    const HandModelChoice& choice) {
  using R = Result<std::unique_ptr<HandPipeline>>;
  auto p = std::make_unique<Parts>();
  p->palm = std::move(palm);
  p->landmark = std::move(landmark);
  p->anchors = generateAnchors(palmAnchors());
  const size_t n = p->anchors.size();
  if (auto s = checkSquareRgbInput(*p->palm, choice.palmFile, kPalmInput); !s) return s;
  if (auto s = checkSquareRgbInput(*p->landmark, choice.landmarkFile, kLandmarkInput); !s) return s;
  auto boxes = findOutput(*p->palm, choice.palmFile, "Identity", n * kPalmCoords);
  auto scores = findOutput(*p->palm, choice.palmFile, "Identity_1", n);
  // Identity holds the 21 landmarks in input pixels, Identity_1 the hand flag (the model ends
  // it in a sigmoid); Identity_3 holds the same landmarks in metres and is not used.
  auto landmarks =
      findOutput(*p->landmark, choice.landmarkFile, "Identity", 3 * kHandLandmarkCount);
  auto presence = findOutput(*p->landmark, choice.landmarkFile, "Identity_1", 1);
  for (const auto* r : {&boxes, &scores, &landmarks, &presence}) {
    if (!*r) return R(r->status());
  }
  p->palmBoxes = *boxes;
  p->palmScores = *scores;
  p->landmarks = *landmarks;
  p->presence = *presence;
  return std::unique_ptr<HandPipeline>(new HandPipeline(std::move(p)));
}

Result<std::vector<HandObservation>> HandPipeline::detect(const RgbImage& frame, int maxHands) {
  std::vector<HandObservation> hands;
  if (maxHands <= 0 || frame.width <= 0 || frame.height <= 0) return hands;
  Parts& p = *parts_;
  const Letterbox lb = letterboxToTensor(frame, kPalmInput, 0.0f, 1.0f, p.palm->input(0));
  if (Status s = p.palm->invoke(); !s) return s;
  const size_t n = p.anchors.size();
  DecodeOptions decode;
  decode.numCoords = kPalmCoords;
  decode.numKeypoints = kPalmKeypoints;
  decode.xScale = decode.yScale = decode.wScale = decode.hScale = kPalmInput;
  decode.minScore = static_cast<float>(kMinPalmScore);
  auto palms = weightedNms(decodeDetections({p.palm->output(p.palmBoxes), n * kPalmCoords},
                                            {p.palm->output(p.palmScores), n}, p.anchors, decode),
                           kNmsOverlap);
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
                     kLandmarkInput, 0.0f, 1.0f, p.landmark->input(0));
    if (Status s = p.landmark->invoke(); !s) return s;
    const float presence = p.landmark->output(p.presence)[0];
    if (!(presence >= kMinPresence)) continue;  // also drops NaN
    const std::span<const float> landmarks{p.landmark->output(p.landmarks), 3 * kHandLandmarkCount};
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
