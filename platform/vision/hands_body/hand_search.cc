#include "platform/vision/hands_body/hand_search.h"

#include <algorithm>
#include <cmath>

namespace talvex::vision {
namespace {

constexpr double kSmallFaceShare = 1.0 / 9;
// Measured on webcam frames of a raised hand with faces 34-53 px wide: four to six face widths
// found the hand in 88-92% of places, seven and eight in 81-86% (the hand shrinks in the
// detector's input) and began to find a second, false hand.
constexpr double kRegionFaceWidths = 6;
constexpr double kRegionAboveFaceCentre = 1.5;

}  // namespace

bool handsTooSmallForFrame(const PixelBox& face, int frameWidth, int frameHeight) {
  return face.width() > 0 && face.width() < kSmallFaceShare * std::max(frameWidth, frameHeight);
}

PixelBox handSearchRegion(const PixelBox& face, int frameWidth, int frameHeight) {
  const double w = frameWidth, h = frameHeight;
  const double side = std::min({kRegionFaceWidths * face.width(), w, h});
  const double x = std::clamp((face.xmin + face.xmax - side) / 2, 0.0, w - side);
  const double y = std::clamp((face.ymin + face.ymax) / 2 - kRegionAboveFaceCentre * face.width(),
                              0.0, h - side);
  return {x, y, x + side, y + side};
}

HandSearchRegions HandSearchPlanner::plan(std::span<const PixelBox> faces, bool detectNow,
                                          int frameWidth, int frameHeight) {
  std::vector<PixelBox> small;
  for (const PixelBox& f : faces)
    if (handsTooSmallForFrame(f, frameWidth, frameHeight)) small.push_back(f);
  std::stable_sort(small.begin(), small.end(),
                   [](const PixelBox& a, const PixelBox& b) { return a.width() > b.width(); });
  if (small.size() > kMaxFaces) small.resize(kMaxFaces);

  HandSearchRegions regions;
  for (const PixelBox& f : small)
    regions.withDetection.push_back(handSearchRegion(f, frameWidth, frameHeight));
  if (detectNow) {
    searched_ = small;
    return regions;
  }
  // A face counts as searched when it is still within a face width of one that was.
  auto searchedBefore = [&](const PixelBox& f) {
    const double cx = (f.xmin + f.xmax) / 2, cy = (f.ymin + f.ymax) / 2;
    return std::any_of(searched_.begin(), searched_.end(), [&](const PixelBox& s) {
      return std::hypot(cx - (s.xmin + s.xmax) / 2, cy - (s.ymin + s.ymax) / 2) < s.width();
    });
  };
  for (const PixelBox& f : small) {
    if (searchedBefore(f)) continue;
    regions.now.push_back(handSearchRegion(f, frameWidth, frameHeight));
    searched_.push_back(f);
  }
  return regions;
}

void HandSearchPlanner::forget() { searched_.clear(); }

}  // namespace talvex::vision
