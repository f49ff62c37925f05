// Loading a model file by name and checking that its tensors have the shapes a pipeline was
// written for, so that a wrong or damaged file fails at load with a message instead of
// producing garbage (or reading past a buffer) at the first frame.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision {

// Threads per model in the programs: one. XNNPACK's workers spin while they wait, so a second
// thread pays off only on an idle core; during a recording the encoder and camera keep both
// cores busy and two threads measured many times slower than one (see docs/vision.md). The
// parallelism comes from running the face, hand and body branches side by side instead.
inline constexpr int kModelThreads = 1;

// Finds `fileName` among the installed models and loads it with `threads` threads, computing
// only `outputs` (all of them when empty).
Result<std::unique_ptr<tflite::Model>> loadModel(std::string_view fileName, int threads,
                                                 const std::vector<std::string>& outputs = {});

// Checks that input 0 is 1 x size x size x 3.
Status checkSquareRgbInput(const tflite::Model& model, std::string_view fileName, int size);

// The index of the output called `tensorName` holding exactly `elements` values.
Result<size_t> findOutput(const tflite::Model& model, std::string_view fileName,
                          std::string_view tensorName, size_t elements);

}  // namespace talvex::vision
