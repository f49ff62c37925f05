// One body in a frame: a person detector on the whole letterboxed frame gives the hips'
// centre and a point on the circle around the body; a pose landmark model then runs on a
// square crop around that circle, turned so the body stands upright. Shoulders are landmarks
// 11 (the subject's own left) and 12 (the subject's own right).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/process/result.h"
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
struct BodyModelChoice {
  std::string detectorFile = "pose_detection.tflite";
  std::string landmarkFile = "pose_landmark_lite.tflite";
  int detectorThreads = kModelThreads;
  int landmarkThreads = kModelThreads;
};

// Lifecycle: load once (reads both models), then detect or track per frame. Threading: one
// thread at a time; the models keep their tensors, and the pipeline the body it follows,
// between calls.
class BodyPipeline {
 public:
  ~BodyPipeline();

  // Fails with a message naming the model when one is missing or cannot be run.
  static Result<std::unique_ptr<BodyPipeline>> load();
  static Result<std::unique_ptr<BodyPipeline>> load(const BodyModelChoice& choice);
  // The same from models already loaded (takes them), checked the same way; `choice` names
  // them in messages.
  static Result<std::unique_ptr<BodyPipeline>> fromModels(std::unique_ptr<tflite::Model> detector,
                                                          std::unique_ptr<tflite::Model> landmark,
                                                          const BodyModelChoice& choice);

  // The most confident person, or nothing. The observation offers both shoulders in
  // normalised image coordinates with the origin at the lower left, each with its visibility
  // (0..1) as confidence. Fails when a model run fails: a failure is never reported as
  // "no body".
  // The body found is remembered for track().
  Result<std::vector<BodyObservation>> detect(const RgbImage& frame);

  // The next frame of a sequence: the body remembered from the previous frame is looked for
  // again in the region its own landmarks (hip centre and body circle) call for, without the
  // person detector. The detector runs all the same (as detect()) when `detectNow`, or at once
  // when the followed body is lost (presence below kMinPresence). With no body remembered and
  // no `detectNow`, the frame has no body until the next detection.
  Result<std::vector<BodyObservation>> track(const RgbImage& frame, bool detectNow);
  // Forgets the remembered body (a new sequence of frames).
  void forget();

  // A person detection must score this much (after the sigmoid). Kept low: people seen from
  // the side score little more than 0.5, and the landmark model's presence flag below is the
  // real gate; an empty room scores about 0.01.
  static constexpr double kMinPersonScore = 0.2;
  // The landmark model's own verdict that its crop holds a person.
  static constexpr double kMinPresence = 0.5;

  struct Parts;

 private:
  // One landmark pass on `region`: the body (nothing if absent) and where to look next.
  Result<std::vector<BodyObservation>> landmarks(const RgbImage& frame,
                                                 const NormalizedRotatedRect& region);
  explicit BodyPipeline(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

}  // namespace talvex::vision
