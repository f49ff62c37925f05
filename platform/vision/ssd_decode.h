// Turns the raw outputs of a single-shot detector with keypoints (palm or person detection)
// into scored boxes, before suppression of overlapping ones. Each anchor owns one row of
// `numCoords` values: box centre x, y, width, height, then (x, y) per keypoint, all as
// offsets from the anchor in input pixels; and one score logit.
#pragma once

#include <span>
#include <vector>

#include "platform/vision/roi_geometry.h"

namespace talvex::vision {

struct SsdAnchor {
  double xCenter = 0;
  double yCenter = 0;
  double width = 1;
  double height = 1;
};

struct SsdDecodeOptions {
  int numKeypoints = 0;
  double inputWidth = 0;  // pixels: the offsets' scale
  double inputHeight = 0;
  double minScore = 0.5;   // after the sigmoid
  double logitClip = 100;  // keeps exp() finite on wild logits
};

// A detection normalised to the detector's input (top-left origin).
struct KeypointDetection {
  double score = 0;
  roi::Point2 center;
  double width = 0;
  double height = 0;
  std::vector<roi::Point2> keypoints;
};

// `boxes` holds anchors.size() rows of 4 + 2 * numKeypoints values, `scores` one logit each.
// Keeps the detections scoring at least minScore, in anchor order.
std::vector<KeypointDetection> decodeSsd(std::span<const float> boxes,
                                         std::span<const float> scores,
                                         std::span<const SsdAnchor> anchors,
                                         const SsdDecodeOptions& options);

// Maps a detection from a letterboxed input back to the frame.
KeypointDetection removeLetterbox(const KeypointDetection& d, const roi::Letterbox& lb);

}  // namespace talvex::vision
