// Hands in a frame: a palm detector on the whole letterboxed frame (and, for hands too small
// to be seen there, on regions where the caller expects them), then a hand landmark model on a
// square crop around each palm, turned so the fingers point up. The wrist is landmark 0 of the
// hand model.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/hands_body/hand_search.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/ops/model_check.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

namespace tflite {
class Model;
}

// Which model files run, with how many threads each. The defaults are the measured choice
// (see docs/vision_hands_body.md): the lite models were as accurate as the full ones on our
// footage at about half the cost; one thread each (kModelThreads).
struct HandModelChoice {
  std::string palmFile = "palm_detection_lite.tflite";
  std::string landmarkFile = "hand_landmark_lite.tflite";
  int palmThreads = kModelThreads;
  int landmarkThreads = kModelThreads;
};

// Lifecycle: load once (reads both models), then detect or track per frame. Threading: one
// thread at a time; the models keep their tensors, and the pipeline the hands it follows,
// between calls.
class HandPipeline {
 public:
  ~HandPipeline();

  // Fails with a message naming the model when one is missing or cannot be run.
  static Result<std::unique_ptr<HandPipeline>> load();
  static Result<std::unique_ptr<HandPipeline>> load(const HandModelChoice& choice);
  // The same from models already loaded (takes them), checked the same way; `choice` names
  // them in messages.
  static Result<std::unique_ptr<HandPipeline>> fromModels(std::unique_ptr<tflite::Model> palm,
                                                          std::unique_ptr<tflite::Model> landmark,
                                                          const HandModelChoice& choice);

  // Up to `maxHands` hands, the most confident palm first. Each offers the wrist joint in
  // normalised image coordinates with the origin at the lower left; its confidence is the
  // landmark model's hand presence score. Hands whose presence is below kMinPresence are left
  // out. Fails when a model run fails: a failure is never reported as "no hands".
  // The hands found are remembered for track().
  //
  // `lookAlsoIn` names regions of the frame (pixels) where hands too small for the whole
  // frame's detection may be, around a far-away person's face say: while fewer than maxHands
  // hands are found, the palm detector also looks at each region, in the order given, blown
  // up to its input. A hand found twice counts once.
  Result<std::vector<HandObservation>> detect(const RgbImage& frame, int maxHands,
                                              std::span<const PixelBox> lookAlsoIn = {});

  // The next frame of a sequence: each hand remembered from the previous frame is looked for
  // again in the region its landmarks call for, without the palm detector. The palm detector
  // runs all the same (as detect(), with search.withDetection) when `detectNow`, or at once
  // when a followed hand is lost (its presence drops below kMinPresence). Otherwise only
  // search.now is looked at, while fewer than maxHands hands are followed; with no hand
  // remembered, new hands appear at the next detection.
  Result<std::vector<HandObservation>> track(const RgbImage& frame, int maxHands, bool detectNow,
                                             const HandSearchRegions& search = {});
  // Forgets the remembered hands (a new sequence of frames).
  void forget();

  // A palm must score this much (after the sigmoid) to be looked at.
  static constexpr double kMinPalmScore = 0.5;
  // The landmark model says whether its crop really holds a hand; below this the crop is
  // taken for background and the hand is dropped.
  static constexpr double kMinPresence = 0.5;
  // A hand whose landmark box lies this much inside another's (or holds the other's this
  // much) is that hand found a second time, from its knuckles say; the more confident palm's
  // is kept. Such a pair on the webcam clip measured 0.75.
  static constexpr double kSameHandOverlap = 0.6;

  struct Parts;

 private:
  struct Pass;
  struct Palm;
  struct Found;
  // Palms in the whole frame, or in `region` of it, the most confident first.
  Result<std::vector<Palm>> palms(const RgbImage& frame, const PixelBox* region);
  // Hands from `candidates` until `found` holds maxHands; palms lying on a hand already found
  // are passed over.
  Status handsFromPalms(const RgbImage& frame, std::span<const Palm> candidates, size_t maxHands,
                        bool skipPalmsOnHands, Found& found);
  Status lookInRegions(const RgbImage& frame, std::span<const PixelBox> regions, size_t maxHands,
                       Found& found);
  Result<std::optional<Pass>> landmarks(const RgbImage& frame, const NormalizedRotatedRect& region);
  explicit HandPipeline(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

}  // namespace talvex::vision
