#include "platform/media/camera/frame_pacer.h"

#include <cmath>

namespace talvex::media {

FramePacer::FramePacer(double cameraFps, int targetFps) {
  if (targetFps <= 0 || !(cameraFps >= 1.5 * targetFps)) return;
  minGapUs_ = std::llround(1e6 / targetFps - 0.5e6 / cameraFps);
}

bool FramePacer::keep(int64_t ptsUs) {
  if (!thins()) return true;
  // A timestamp that goes back (a camera that restarted its clock) starts the rhythm anew.
  if (lastKept_ && ptsUs >= *lastKept_ && ptsUs - *lastKept_ < minGapUs_) return false;
  lastKept_ = ptsUs;
  return true;
}

}  // namespace talvex::media
