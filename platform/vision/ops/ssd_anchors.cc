#include "platform/vision/ops/ssd_anchors.h"

#include <algorithm>
#include <cmath>

namespace talvex::vision {
namespace {

float scaleAt(const SsdAnchorOptions& o, size_t layer, size_t layers) {
  if (layers <= 1) return (o.minScale + o.maxScale) * 0.5f;
  return o.minScale + (o.maxScale - o.minScale) * static_cast<float>(layer) / (layers - 1.0f);
}

}  // namespace

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

std::vector<Anchor> generateAnchors(const SsdAnchorOptions& o) {
  std::vector<Anchor> anchors;
  const size_t layers = o.strides.size();
  size_t layer = 0;
  while (layer < layers) {
    // Sizes of every anchor at one location, over the run of layers sharing this stride.
    std::vector<std::pair<float, float>> sizes;
    size_t last = layer;
    while (last < layers && o.strides[last] == o.strides[layer]) {
      const float scale = scaleAt(o, last, layers);
      for (float ar : o.aspectRatios) {
        const float r = std::sqrt(ar);
        sizes.emplace_back(scale * r, scale / r);
      }
      if (o.interpolatedScale) {
        const float next = last + 1 == layers ? 1.0f : scaleAt(o, last + 1, layers);
        const float s = std::sqrt(scale * next);
        sizes.emplace_back(s, s);
      }
      ++last;
    }
    const int stride = std::max(1, o.strides[layer]);
    const int fh = (o.inputHeight + stride - 1) / stride;
    const int fw = (o.inputWidth + stride - 1) / stride;
    for (int y = 0; y < fh; ++y)
      for (int x = 0; x < fw; ++x)
        for (const auto& [w, h] : sizes) {
          Anchor a;
          a.cx = (x + o.offsetX) / fw;
          a.cy = (y + o.offsetY) / fh;
          a.w = o.fixedAnchorSize ? 1.0f : w;
          a.h = o.fixedAnchorSize ? 1.0f : h;
          anchors.push_back(a);
        }
    layer = last;
  }
  return anchors;
}

std::vector<Detection> decodeDetections(std::span<const float> boxes, std::span<const float> scores,
                                        std::span<const Anchor> anchors, const DecodeOptions& o) {
  std::vector<Detection> out;
  const size_t n = std::min({anchors.size(), scores.size(),
                             boxes.size() / static_cast<size_t>(std::max(1, o.numCoords))});
  if (o.numCoords < 4 + 2 * o.numKeypoints) return out;
  for (size_t i = 0; i < n; ++i) {
    const float score = sigmoid(std::clamp(scores[i], -o.scoreClip, o.scoreClip));
    if (score < o.minScore) continue;
    const float* r = boxes.data() + i * static_cast<size_t>(o.numCoords);
    const Anchor& a = anchors[i];
    const float cx = r[0] / o.xScale * a.w + a.cx;
    const float cy = r[1] / o.yScale * a.h + a.cy;
    const float w = r[2] / o.wScale * a.w;
    const float h = r[3] / o.hScale * a.h;
    Detection d;
    d.score = score;
    d.xmin = cx - w / 2;
    d.ymin = cy - h / 2;
    d.xmax = cx + w / 2;
    d.ymax = cy + h / 2;
    for (int k = 0; k < o.numKeypoints; ++k)
      d.keypoints.push_back(
          {r[4 + 2 * k] / o.xScale * a.w + a.cx, r[5 + 2 * k] / o.yScale * a.h + a.cy});
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace talvex::vision
