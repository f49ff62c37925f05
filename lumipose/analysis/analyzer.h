// Turns one frame into one frame record: the most prominent face (box, head angles, luma,
// gaze, mouth, corners, brows), the visible hands and one person's shoulders.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/image/pixel_buffer.h"
#include "platform/vision/vision.h"

namespace talvex::lumipose {

// Keys keep the order in which the record is built.
using FrameRecord = nlohmann::ordered_json;

// Lifecycle: created once per producer (one offline analysis, one live pipeline) and reused
// for every frame it analyses. Threading: one thread at a time, since each request keeps the
// results of its last perform.
class Analyzer {
 public:
  // Takes ownership of the detectors that answer the four requests.
  explicit Analyzer(std::unique_ptr<vision::Detector> detectors);

  // The frame record of `frame` at `t` seconds. Never fails: this is where a failed detection
  // (any model run, any branch) becomes the failed record of only "t" and "faces" 0, which
  // no frame that was analysed can look like; other gaps show as missing keys.
  // Frames are taken for one sequence (the detectors follow faces, hands and the body from
  // one to the next) while `t` moves forward by at most kMaxFollowGap seconds at a time; a
  // larger step, or a step back, starts a new sequence.
  FrameRecord line(const PixelBuffer& frame, double t);

  // The next frame starts a new sequence (a new recording), whatever its `t`.
  void startSequence();

  static constexpr double kMaxFollowGap = 0.5;

 private:
  // No trailing underscore, like the four requests below.
  std::unique_ptr<vision::Detector> detector;
  vision::DetectFaceLandmarksRequest faceReq;
  vision::DetectFaceRectanglesRequest poseReq;
  vision::DetectHumanBodyPoseRequest bodyReq;
  vision::DetectHumanHandPoseRequest handReq;
  std::optional<double> lastT;  // of the sequence's previous frame
};

}  // namespace talvex::lumipose
