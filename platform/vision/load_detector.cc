#include "platform/vision/load_detector.h"

namespace talvex::vision {
namespace {

// Stands in until the detection models are wired up: every perform fails, so frame records
// honestly carry "faces": 0 and nothing else is claimed.
class UnavailableDetector : public Detector {
 public:
  Status perform(const PixelBuffer&, std::span<Request* const>) override {
    return Status::failure("face, hand and body detection is not built yet");
  }
};

}  // namespace

Result<std::unique_ptr<Detector>> loadDetector() {
  return std::unique_ptr<Detector>(std::make_unique<UnavailableDetector>());
}

}  // namespace talvex::vision
