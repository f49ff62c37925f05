#include "platform/media/camera/frame_liveness.h"

namespace talvex::media {
namespace {

constexpr int64_t kTryEveryUs = 500000;

int64_t micros(std::chrono::milliseconds ms) {
  return std::chrono::duration_cast<std::chrono::microseconds>(ms).count();
}

}  // namespace

void FrameLiveness::sawFrame(int64_t nowUs) {
  if (!firstFrame_) firstFrame_ = nowUs;
  lastFrame_ = nowUs;
}

void FrameLiveness::tried(int64_t nowUs, bool usable) {
  lastTry_ = nowUs;
  if (usable) lastUsable_ = nowUs;
}

bool FrameLiveness::wantsTry(int64_t nowUs) const { return nowUs - lastTry_ >= kTryEveryUs; }

std::optional<CameraLoss> FrameLiveness::verdict(int64_t nowUs) const {
  const int64_t limit = micros(kCameraStallLimit);
  // A slow starter is waited for; once frames come, they have to be usable soon.
  if (!firstFrame_) {
    if (nowUs - start_ > micros(kCameraFirstFrameLimit)) return CameraLoss::Silent;
    return std::nullopt;
  }
  const int64_t since = lastUsable_ ? *lastUsable_ : *firstFrame_;
  if (nowUs - since <= limit) return std::nullopt;
  return nowUs - *lastFrame_ <= limit && *lastFrame_ > since ? CameraLoss::Unusable
                                                             : CameraLoss::Silent;
}

}  // namespace talvex::media
