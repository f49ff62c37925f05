// Anchors and box decoding for the single-shot detectors (faces, palms, bodies). Every
// location of every feature map carries a fixed number of anchors; the model predicts each
// box as an offset from its anchor's centre, scaled by the input size.
#pragma once

#include <span>
#include <vector>

#include "platform/vision/geometry.h"

namespace talvex::vision {

struct SsdAnchorOptions {
  int inputWidth = 128;
  int inputHeight = 128;
  // One stride per layer; consecutive layers of equal stride share a feature map.
  std::vector<int> strides;
  float offsetX = 0.5f;
  float offsetY = 0.5f;
  // The scales of the face, palm and person detectors alike.
  float minScale = 0.1484375f;
  float maxScale = 0.75f;
  std::vector<float> aspectRatios{1.0f};
  // Adds one anchor per layer at the geometric mean of this and the next scale.
  bool interpolatedScale = true;
  // All anchors 1 x 1: the model's box sizes are then relative to the input size alone.
  bool fixedAnchorSize = true;
};

struct Anchor {
  float cx = 0, cy = 0, w = 1, h = 1;  // normalised to the input
};

std::vector<Anchor> generateAnchors(const SsdAnchorOptions& options);

// A detection in normalised input coordinates (y down).
struct Detection {
  float score = 0;
  float xmin = 0, ymin = 0, xmax = 0, ymax = 0;
  std::vector<NormalizedKeyPoint> keypoints;
  float width() const { return xmax - xmin; }
  float height() const { return ymax - ymin; }
};

struct DecodeOptions {
  int numCoords = 16;    // values per box in the regressor output
  int numKeypoints = 6;  // keypoints after the 4 box values, 2 values each
  float xScale = 128, yScale = 128, wScale = 128, hScale = 128;
  float scoreClip = 100;  // raw scores are clipped to +-scoreClip before the sigmoid
  float minScore = 0.5f;
};

// Decodes the boxes whose sigmoid score reaches minScore. `boxes` holds numCoords values per
// anchor, `scores` one raw logit per anchor.
std::vector<Detection> decodeDetections(std::span<const float> boxes, std::span<const float> scores,
                                        std::span<const Anchor> anchors,
                                        const DecodeOptions& options);

float sigmoid(float x);

}  // namespace talvex::vision
