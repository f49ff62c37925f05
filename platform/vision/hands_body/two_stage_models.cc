#include "platform/vision/hands_body/two_stage_models.h"

#include "platform/vision/ops/model_check.h"

namespace talvex::vision {

Result<TwoStageModels> checkTwoStageModels(std::unique_ptr<tflite::Model> detector,
                                           std::unique_ptr<tflite::Model> landmark,
                                           const TwoStageShape& shape) {
  if (auto s = checkSquareRgbInput(*detector, shape.detectorFile, shape.detectorInput); !s)
    return s;
  if (auto s = checkSquareRgbInput(*landmark, shape.landmarkFile, shape.landmarkInput); !s)
    return s;
  const size_t n = shape.anchors;
  auto boxes = findOutput(*detector, shape.detectorFile, "Identity", n * shape.boxValues);
  auto scores = findOutput(*detector, shape.detectorFile, "Identity_1", n);
  auto landmarks = findOutput(*landmark, shape.landmarkFile, "Identity", shape.landmarkValues);
  auto presence = findOutput(*landmark, shape.landmarkFile, "Identity_1", 1);
  for (const auto* r : {&boxes, &scores, &landmarks, &presence}) {
    if (!*r) return r->status();
  }
  TwoStageModels m;
  m.detector = std::move(detector);
  m.landmark = std::move(landmark);
  m.boxes = *boxes;
  m.scores = *scores;
  m.landmarks = *landmarks;
  m.presence = *presence;
  return m;
}

Result<TwoStageModels> loadTwoStageModels(const TwoStageShape& shape, int detectorThreads,
                                          int landmarkThreads) {
  auto detector = loadModel(shape.detectorFile, detectorThreads);
  if (!detector) return detector.status();
  auto landmark = loadModel(shape.landmarkFile, landmarkThreads, kLandmarkOutputs);
  if (!landmark) return landmark.status();
  return checkTwoStageModels(std::move(*detector), std::move(*landmark), shape);
}

}  // namespace talvex::vision
