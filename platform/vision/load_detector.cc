#include "platform/vision/load_detector.h"

#include "platform/vision/mediapipe_detector.h"

namespace talvex::vision {

Result<std::unique_ptr<Detector>> loadDetector() {
  auto d = MediaPipeDetector::load();
  if (!d) return d.status();
  return std::unique_ptr<Detector>(std::move(d.value()));
}

}  // namespace talvex::vision
