// A Detector for tests: hands back prepared observations, or fails.
#pragma once

#include <vector>

#include "platform/vision/vision.h"

namespace talvex::lumipose::testing {

class FakeDetector : public vision::Detector {
 public:
  bool fail = false;
  std::optional<std::vector<vision::FaceObservation>> landmarkFaces;
  std::optional<std::vector<vision::FaceObservation>> rectangleFaces;
  std::optional<std::vector<vision::HandObservation>> hands;
  std::optional<std::vector<vision::BodyObservation>> bodies;
  int sequencesStarted = 0;

  void startSequence() override { ++sequencesStarted; }

  Status perform(const PixelBuffer&, std::span<vision::Request* const> requests) override {
    if (fail) return Status::failure("detectors failed");
    for (vision::Request* r : requests) {
      switch (r->kind()) {
        case vision::RequestKind::FaceLandmarks:
          static_cast<vision::DetectFaceLandmarksRequest*>(r)->results = landmarkFaces;
          break;
        case vision::RequestKind::FaceRectangles:
          static_cast<vision::DetectFaceRectanglesRequest*>(r)->results = rectangleFaces;
          break;
        case vision::RequestKind::HumanHandPose:
          static_cast<vision::DetectHumanHandPoseRequest*>(r)->results = hands;
          break;
        case vision::RequestKind::HumanBodyPose:
          static_cast<vision::DetectHumanBodyPoseRequest*>(r)->results = bodies;
          break;
      }
    }
    return Status::ok();
  }
};

}  // namespace talvex::lumipose::testing
