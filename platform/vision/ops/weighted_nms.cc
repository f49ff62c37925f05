#include "platform/vision/ops/weighted_nms.h"

#include <algorithm>

namespace talvex::vision {

float intersectionOverUnion(const Detection& a, const Detection& b) {
  const float ix = std::max(0.f, std::min(a.xmax, b.xmax) - std::max(a.xmin, b.xmin));
  const float iy = std::max(0.f, std::min(a.ymax, b.ymax) - std::max(a.ymin, b.ymin));
  const float inter = ix * iy;
  const float uni = a.width() * a.height() + b.width() * b.height() - inter;
  return uni > 0 ? inter / uni : 0.f;
}

std::vector<Detection> weightedNms(std::vector<Detection> dets, float iouThreshold) {
  std::stable_sort(dets.begin(), dets.end(),
                   [](const Detection& a, const Detection& b) { return a.score > b.score; });
  std::vector<Detection> out;
  std::vector<bool> used(dets.size(), false);
  for (size_t i = 0; i < dets.size(); ++i) {
    if (used[i]) continue;
    const Detection& best = dets[i];
    Detection merged = best;
    merged.xmin = merged.ymin = merged.xmax = merged.ymax = 0;
    for (auto& k : merged.keypoints) k = {0, 0};
    float total = 0;
    for (size_t j = i; j < dets.size(); ++j) {
      if (used[j] || intersectionOverUnion(best, dets[j]) <= iouThreshold) continue;
      if (j != i && dets[j].keypoints.size() != best.keypoints.size()) continue;
      used[j] = true;
      const Detection& d = dets[j];
      const float w = d.score;
      total += w;
      merged.xmin += d.xmin * w;
      merged.ymin += d.ymin * w;
      merged.xmax += d.xmax * w;
      merged.ymax += d.ymax * w;
      for (size_t k = 0; k < merged.keypoints.size(); ++k) {
        merged.keypoints[k].x += d.keypoints[k].x * w;
        merged.keypoints[k].y += d.keypoints[k].y * w;
      }
    }
    used[i] = true;
    if (total <= 0) {
      out.push_back(best);
      continue;
    }
    merged.xmin /= total;
    merged.ymin /= total;
    merged.xmax /= total;
    merged.ymax /= total;
    for (auto& k : merged.keypoints) {
      k.x /= total;
      k.y /= total;
    }
    out.push_back(std::move(merged));
  }
  return out;
}

}  // namespace talvex::vision
