#pragma once

#include <memory>

#include "platform/process/result.h"
#include "platform/vision/vision.h"

namespace talvex::vision {

// Loads the detection models and returns the detector that serves all four request kinds.
// Fails with a description when a model is missing or cannot be used.
Result<std::unique_ptr<Detector>> loadDetector();

}  // namespace talvex::vision
