#include "platform/vision/load_detector.h"

namespace talvex::vision {

Result<std::unique_ptr<Detector>> loadDetector() {
  return Result<std::unique_ptr<Detector>>::failure("face, hand and body detection is not built yet");
}

}  // namespace talvex::vision
