#include "platform/vision/ssd_decode.h"

#include <algorithm>

namespace talvex::vision {

std::vector<KeypointDetection> decodeSsd(std::span<const float> boxes,
                                         std::span<const float> scores,
                                         std::span<const SsdAnchor> anchors,
                                         const SsdDecodeOptions& o) {
  std::vector<KeypointDetection> out;
  const size_t stride = 4 + 2 * static_cast<size_t>(o.numKeypoints);
  const size_t n = std::min({anchors.size(), scores.size(), boxes.size() / stride});
  for (size_t i = 0; i < n; ++i) {
    const double score = roi::sigmoid(std::clamp<double>(scores[i], -o.logitClip, o.logitClip));
    if (score < o.minScore) continue;
    const float* raw = boxes.data() + i * stride;
    const SsdAnchor& a = anchors[i];
    KeypointDetection d;
    d.score = score;
    d.center = {raw[0] / o.inputWidth * a.width + a.xCenter,
                raw[1] / o.inputHeight * a.height + a.yCenter};
    d.width = raw[2] / o.inputWidth * a.width;
    d.height = raw[3] / o.inputHeight * a.height;
    d.keypoints.reserve(o.numKeypoints);
    for (int k = 0; k < o.numKeypoints; ++k) {
      d.keypoints.push_back({raw[4 + 2 * k] / o.inputWidth * a.width + a.xCenter,
                             raw[5 + 2 * k] / o.inputHeight * a.height + a.yCenter});
    }
    out.push_back(std::move(d));
  }
  return out;
}

KeypointDetection removeLetterbox(const KeypointDetection& d, const roi::Letterbox& lb) {
  KeypointDetection out = d;
  out.center = roi::removeLetterbox(d.center, lb);
  out.width = roi::removeLetterboxWidth(d.width, lb);
  out.height = roi::removeLetterboxHeight(d.height, lb);
  for (auto& k : out.keypoints) k = roi::removeLetterbox(k, lb);
  return out;
}

}  // namespace talvex::vision
