#include "platform/vision/hands_body/hand_pipeline.h"

#include <algorithm>
#include <array>

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

// A hand whose landmark box lies mostly inside one already kept (or holds it) is that hand
// found a second time.
bool sameHandAgain(const std::vector<PixelBox>& kept, const PixelBox& bounds) {
  return std::any_of(kept.begin(), kept.end(), [&](const PixelBox& k) {
    return overlapOfSmaller(k, bounds) > HandPipeline::kSameHandOverlap;
  });
}

}  // namespace

struct HandPipeline::Parts {
  TwoStageModels models;
  std::vector<Anchor> anchors;
  // The regions where the hands of the last frame are looked for in the next one.
  std::vector<NormalizedRotatedRect> followed;
};

// One landmark pass that found a hand: the hand, the box around its landmarks (frame pixels)
// and the region its landmarks call for in the next frame.
struct HandPipeline::Pass {
  HandObservation hand;
  PixelBox bounds;
  NormalizedRotatedRect next;
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
      new HandPipeline(std::make_unique<Parts>(Parts{std::move(*models), std::move(anchors), {}})));
}

Result<std::unique_ptr<HandPipeline>> HandPipeline::fromModels(
    std::unique_ptr<tflite::Model> palm, std::unique_ptr<tflite::Model> landmark,
    const HandModelChoice& choice) {
  std::vector<Anchor> anchors = generateAnchors(palmAnchors());
  auto models =
      checkTwoStageModels(std::move(palm), std::move(landmark), handShape(choice, anchors.size()));
  if (!models) return models.status();
  return std::unique_ptr<HandPipeline>(
      new HandPipeline(std::make_unique<Parts>(Parts{std::move(*models), std::move(anchors), {}})));
}

// A palm the detector found: the region where the hand model looks for its hand, and the palm
// box in frame pixels.
struct HandPipeline::Palm {
  NormalizedRotatedRect region;
  PixelBox box;
};

// The hands of one frame so far, the boxes around their landmarks (frame pixels; a hand found
// from a palm has two, one per look) and the region where each is looked for in the next frame.
struct HandPipeline::Found {
  std::vector<HandObservation> hands;
  std::vector<PixelBox> bounds;
  std::vector<NormalizedRotatedRect> next;
};

Result<std::vector<HandPipeline::Palm>> HandPipeline::palms(const RgbImage& frame,
                                                            const PixelBox* region) {
  Parts& p = *parts_;
  // A region is blown up to the detector's input; the whole frame shrinks to it.
  const Letterbox lb =
      region
          ? letterboxToTensor(frame, *region, kPalmInput, 0.0f, 1.0f, p.models.detector->input(0))
          : letterboxToTensor(frame, kPalmInput, 0.0f, 1.0f, p.models.detector->input(0));
  if (Status s = p.models.detector->invoke(); !s) return s;
  const size_t n = p.anchors.size();
  DecodeOptions decode;
  decode.numCoords = kPalmCoords;
  decode.numKeypoints = kPalmKeypoints;
  decode.xScale = decode.yScale = decode.wScale = decode.hScale = kPalmInput;
  decode.minScore = static_cast<float>(kMinPalmScore);
  const std::vector<Detection> found = weightedNms(
      decodeDetections({p.models.detector->output(p.models.boxes), n * kPalmCoords},
                       {p.models.detector->output(p.models.scores), n}, p.anchors, decode),
      kDetectionMergeOverlap);

  const double w = frame.width, h = frame.height;
  auto toFrame = [&](double s, double t) {
    double x = 0, y = 0;
    lb.transform.map(s, t, x, y);
    return NormalizedPoint{x / w, y / h};
  };
  std::vector<Palm> out;
  for (const Detection& palm : found) {
    const NormalizedPoint center =
        toFrame((palm.xmin + palm.xmax) / 2, (palm.ymin + palm.ymax) / 2);
    const double boxW = palm.width() * lb.transform.axX / w;
    const double boxH = palm.height() * lb.transform.ayY / h;
    const auto& kp = palm.keypoints;
    const NormalizedRotatedRect region = roi::handRoiFromPalm(
        center, boxW, boxH, toFrame(kp[kWristKeypoint].x, kp[kWristKeypoint].y),
        toFrame(kp[kMiddleKnuckleKeypoint].x, kp[kMiddleKnuckleKeypoint].y), frame.width,
        frame.height);
    const NormalizedPoint topLeft = toFrame(palm.xmin, palm.ymin);
    const NormalizedPoint bottomRight = toFrame(palm.xmax, palm.ymax);
    out.push_back({region, {topLeft.x * w, topLeft.y * h, bottomRight.x * w, bottomRight.y * h}});
  }
  return out;
}

Status HandPipeline::handsFromPalms(const RgbImage& frame, std::span<const Palm> candidates,
                                    size_t maxHands, bool skipPalmsOnHands, Found& found) {
  // Two palm boxes can survive suppression on one hand (palm and knuckles); the duplicate is
  // recognised by its landmarks, so a few spare palms are looked at to fill maxHands.
  const size_t palmLimit = 2 * maxHands;
  for (size_t i = 0; i < candidates.size() && i < palmLimit; ++i) {
    if (found.hands.size() >= maxHands) break;
    const Palm& palm = candidates[i];
    // A palm lying on a hand found already would only find that hand again.
    if (skipPalmsOnHands && sameHandAgain(found.bounds, palm.box)) continue;
    auto first = landmarks(frame, palm.region);
    if (!first) return first.status();
    if (!*first) continue;
    // A hand found from a palm must be found again where its own landmarks place it, as it
    // would be on the next frame. Skin that the palm detector and the hand model each take
    // for a hand at a glance (a cheek or forehead in a close-up) does not hold: its second
    // look scored 0.03 to 0.33 where real hands keep 0.9 and more. The second look is also
    // the steadier answer, so it is the one reported and followed.
    auto pass = landmarks(frame, (*first)->next);
    if (!pass) return pass.status();
    // Either look may be the one that lies on a hand found already.
    if (!*pass || sameHandAgain(found.bounds, (*first)->bounds) ||
        sameHandAgain(found.bounds, (*pass)->bounds))
      continue;
    found.bounds.push_back((*first)->bounds);
    found.bounds.push_back((*pass)->bounds);
    found.hands.push_back(std::move((*pass)->hand));
    found.next.push_back((*pass)->next);
  }
  return Status::ok();
}

Status HandPipeline::lookInRegions(const RgbImage& frame, std::span<const PixelBox> regions,
                                   size_t maxHands, Found& found) {
  for (const PixelBox& region : regions) {
    if (found.hands.size() >= maxHands) break;
    auto candidates = palms(frame, &region);
    if (!candidates) return candidates.status();
    if (Status s = handsFromPalms(frame, *candidates, maxHands, true, found); !s) return s;
  }
  return Status::ok();
}

Result<std::vector<HandObservation>> HandPipeline::detect(const RgbImage& frame, int maxHands,
                                                          std::span<const PixelBox> lookAlsoIn) {
  Parts& p = *parts_;
  p.followed.clear();
  if (maxHands <= 0 || frame.width <= 0 || frame.height <= 0) return std::vector<HandObservation>{};
  const size_t limit = static_cast<size_t>(maxHands);
  Found found;
  auto whole = palms(frame, nullptr);
  if (!whole) return whole.status();
  if (Status s = handsFromPalms(frame, *whole, limit, false, found); !s) return s;
  if (Status s = lookInRegions(frame, lookAlsoIn, limit, found); !s) return s;
  p.followed = std::move(found.next);
  return std::move(found.hands);
}

Result<std::vector<HandObservation>> HandPipeline::track(const RgbImage& frame, int maxHands,
                                                         bool detectNow,
                                                         const HandSearchRegions& search) {
  Parts& p = *parts_;
  if (detectNow || maxHands <= 0 || frame.width <= 0 || frame.height <= 0)
    return detect(frame, maxHands, search.withDetection);
  const size_t limit = static_cast<size_t>(maxHands);
  Found found;
  for (const NormalizedRotatedRect& region : p.followed) {
    if (found.hands.size() == limit) break;
    auto pass = landmarks(frame, region);
    if (!pass) return pass.status();
    // Lost: look for it (and others) at once.
    if (!*pass) return detect(frame, maxHands, search.withDetection);
    // Two followed hands that drift onto one hand become one.
    if (sameHandAgain(found.bounds, (*pass)->bounds)) continue;
    found.bounds.push_back((*pass)->bounds);
    found.hands.push_back(std::move((*pass)->hand));
    found.next.push_back((*pass)->next);
  }
  if (Status s = lookInRegions(frame, search.now, limit, found); !s) return s;
  p.followed = std::move(found.next);
  return std::move(found.hands);
}

void HandPipeline::forget() { parts_->followed.clear(); }

Result<std::optional<HandPipeline::Pass>> HandPipeline::landmarks(
    const RgbImage& frame, const NormalizedRotatedRect& region) {
  Parts& p = *parts_;
  if (!roi::isUsable(region)) return std::optional<Pass>{};
  const CropTransform crop =
      warpToTensor(frame, roi::toPixels(region, frame.width, frame.height), kLandmarkInput,
                   kLandmarkInput, 0.0f, 1.0f, p.models.landmark->input(0));
  if (Status s = p.models.landmark->invoke(); !s) return s;
  const float presence = p.models.landmark->output(p.models.presence)[0];
  if (!(presence >= kMinPresence)) return std::optional<Pass>{};  // also drops NaN
  const std::span<const float> values{p.models.landmark->output(p.models.landmarks),
                                      3 * kHandLandmarkCount};
  const CropGeometry geometry{crop, kLandmarkInput, frame.width, frame.height};
  std::array<NormalizedPoint, kHandLandmarkCount> points;
  for (int i = 0; i < kHandLandmarkCount; ++i) {
    double x = 0, y = 0;
    crop.map(values[3 * i] / kLandmarkInput, values[3 * i + 1] / kLandmarkInput, x, y);
    points[static_cast<size_t>(i)] = {x / frame.width, y / frame.height};
  }
  return std::optional<Pass>{Pass{handFromLandmarks(values, geometry, presence),
                                  handBounds(values, geometry),
                                  roi::handRoiFromLandmarks(points, frame.width, frame.height)}};
}

}  // namespace talvex::vision
