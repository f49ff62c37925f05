// Tells a camera that gives usable frames from one that has gone quiet or gives only frames
// that cannot be used. Internal to platform/media.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/media/camera/camera.h"

namespace talvex::media {

// Times are microseconds on one monotonic clock. Lifecycle: one per stream, made when it
// starts. Threading: the capture thread only.
class FrameLiveness {
 public:
  explicit FrameLiveness(int64_t startUs) : start_(startUs), lastTry_(startUs) {}

  // A buffer came from the device.
  void sawFrame(int64_t nowUs);
  // A frame was tried: converted (usable or not), or passed over because the frame queue was
  // still busy, which says the camera works as far as we can tell.
  void tried(int64_t nowUs, bool usable);
  // Nothing has been tried for a while: the next frame should be converted even if its picture
  // is not wanted, so that frames that cannot be used are noticed.
  bool wantsTry(int64_t nowUs) const;
  // Whether the camera counts as lost by now, and why.
  std::optional<CameraLoss> verdict(int64_t nowUs) const;

 private:
  int64_t start_;
  int64_t lastTry_;
  std::optional<int64_t> firstFrame_, lastFrame_, lastUsable_;
};

}  // namespace talvex::media
