// Test-only: a real model whose every run fails, the way a run fails when XNNPACK or a host
// operator reports an error. Pipelines built on it show what a failed inference becomes.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision::testing {

// Loads the installed model `fileName` (computing only `outputs`, all when empty) with one
// thread, and makes its invoke() fail after the model's own stages have run.
Result<std::unique_ptr<tflite::Model>> loadFailingModel(
    std::string_view fileName, const std::vector<std::string>& outputs = {});

}  // namespace talvex::vision::testing
