// Where to look for the hands of people far from the camera. Their hands are too small for the
// palm detector on the whole frame (a hand 37 px wide in a 1280x720 frame is 5 px in the
// detector's 192 px input), so the detector also looks at a region around each small face,
// blown up to its input: a hand of two thirds of a face width then fills 20-30 input pixels.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "platform/vision/geometry.h"

namespace talvex::vision {

// Regions of a frame (pixels) where the hand pipeline looks for palms besides the whole frame.
struct HandSearchRegions {
  // Looked at whenever the palm detector runs on the frame (at the cadence, or because a
  // followed hand was lost).
  std::vector<PixelBox> withDetection;
  // Looked at on this frame even between detections: around faces that came up since the last
  // detection, so that their hands appear with them rather than a detection later.
  std::vector<PixelBox> now;
};

// True for a face too small in the frame for its hands to be found on the whole frame: narrower
// than a ninth of the frame's longer side (142 px of 1280). Hands are about two thirds of a face
// width; the whole-frame palm search finds hands of 100 px but only half of those of 70 px.
bool handsTooSmallForFrame(const PixelBox& face, int frameWidth, int frameHeight);

// The region around a face where that person's hands are looked for: a square six face widths
// on a side, centred across the face, from one and a half face widths above the face's centre
// (a hand raised to the head) down to about the waist; moved, not cut, to lie inside the frame
// (no larger than the frame's shorter side).
PixelBox handSearchRegion(const PixelBox& face, int frameWidth, int frameHeight);

// Decides, frame by frame, around which faces hands are looked for. Each palm search costs a
// palm detector run (about as much as the whole frame's), so they run with the detections, at
// most kMaxFaces faces a frame (the largest), and between detections only around faces that
// were not there at the last search.
// Lifecycle: one per detector, forget() between sequences of frames. Threading: one thread.
class HandSearchPlanner {
 public:
  static constexpr size_t kMaxFaces = 2;

  // `faces` are the faces of the previous analysed frame (pixels); `detectNow` says whether the
  // detectors run on this frame.
  HandSearchRegions plan(std::span<const PixelBox> faces, bool detectNow, int frameWidth,
                         int frameHeight);
  void forget();

 private:
  // The faces whose surroundings were looked at since the last detection.
  std::vector<PixelBox> searched_;
};

}  // namespace talvex::vision
