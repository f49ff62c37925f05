// Weighted non-maximum suppression: overlapping detections of one object are merged into a
// score-weighted average instead of keeping only the best, which steadies boxes and keypoints.
#pragma once

#include <vector>

#include "platform/vision/ops/ssd_anchors.h"

namespace talvex::vision {

// The overlap above which the face, palm and person detectors' boxes are merged, as
// MediaPipe's published graphs for these models merge them.
inline constexpr float kDetectionMergeOverlap = 0.3f;

float intersectionOverUnion(const Detection& a, const Detection& b);

// Merges detections whose overlap with a higher-scoring one exceeds `iouThreshold`. The result
// is sorted by score, highest first; each keeps its best member's score.
std::vector<Detection> weightedNms(std::vector<Detection> detections, float iouThreshold);

}  // namespace talvex::vision
