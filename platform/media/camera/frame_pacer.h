// Thins a camera that runs faster than the recording's rate down to about that rate, evenly.
// Internal to platform/media.
#pragma once

#include <cstdint>
#include <optional>

namespace talvex::media {

// A 60 fps camera would cost twice the decoding, conversion and encoding of a 30 fps one and
// make the frame queue drop frames at random when a core is busy. Its frames are passed over on
// purpose instead: a frame is kept when at least one period of the target rate, less half of
// the camera's own interval, has gone since the last kept one, so a 60 fps camera gives every
// other frame and a missed frame of the camera's does not throw the rhythm off. A camera whose
// rate is below one and a half times the target (or unknown) is never thinned: its frames keep
// their own spacing, irregular or not.
// Times are microseconds on the camera's clock. Threading: the capture thread only.
class FramePacer {
 public:
  FramePacer(double cameraFps, int targetFps);
  // Whether the frame captured at `ptsUs` is one the session gets.
  bool keep(int64_t ptsUs);
  bool thins() const { return minGapUs_ > 0; }

 private:
  int64_t minGapUs_ = 0;
  std::optional<int64_t> lastKept_;
};

}  // namespace talvex::media
