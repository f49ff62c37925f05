// The two models of the hand and body pipelines, loaded and checked against the shapes a
// pipeline was written for: a single-shot detector on the letterboxed frame (boxes in output
// "Identity", scores in "Identity_1") and a landmark model on a square crop (landmarks in
// "Identity", its presence flag in "Identity_1"; its other heads are never computed).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision {

// The outputs of a landmark model that the pipelines read.
inline const std::vector<std::string> kLandmarkOutputs{"Identity", "Identity_1"};

// What a pipeline expects of its models. The files name them in messages.
struct TwoStageShape {
  std::string detectorFile;
  int detectorInput = 0;  // side of the square RGB input
  size_t anchors = 0;     // boxes (and scores) the detector gives
  size_t boxValues = 0;   // values per box
  std::string landmarkFile;
  int landmarkInput = 0;
  size_t landmarkValues = 0;  // values of the landmark output
};

// Lifecycle: built once by a pipeline, which then owns the models.
struct TwoStageModels {
  std::unique_ptr<tflite::Model> detector;
  std::unique_ptr<tflite::Model> landmark;
  // Output indices.
  size_t boxes = 0, scores = 0, landmarks = 0, presence = 0;
};

// Takes the models and checks them against `shape`; fails with a message naming the file.
Result<TwoStageModels> checkTwoStageModels(std::unique_ptr<tflite::Model> detector,
                                           std::unique_ptr<tflite::Model> landmark,
                                           const TwoStageShape& shape);

// Loads both installed models (the landmark model with only kLandmarkOutputs) and checks them.
Result<TwoStageModels> loadTwoStageModels(const TwoStageShape& shape, int detectorThreads,
                                          int landmarkThreads);

}  // namespace talvex::vision
