// Operators that run on the host between XNNPACK runtimes.
#pragma once

#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision::tflite {

struct HostInput {
  const float* data;
  TensorShape shape;
};
struct HostOutput {
  float* data;
  TensorShape shape;
};

// Runs once per invoke; the pointers it captured stay valid for the Model's life.
using HostKernel = std::function<Status()>;

// Concatenation along `axis` (negative counts from the end).
Result<HostKernel> makeConcatenation(int axis, std::vector<HostInput> inputs, HostOutput output);

struct StridedSliceParams {
  std::vector<int> begin, end, strides;
  int beginMask = 0, endMask = 0, ellipsisMask = 0, newAxisMask = 0, shrinkAxisMask = 0;
  bool offset = false;  // end is relative to begin
};
Result<HostKernel> makeStridedSlice(const StridedSliceParams& params, HostInput input,
                                    HostOutput output);

// One of MediaPipe's custom operators, by name, with its flexbuffer options.
Result<HostKernel> makeCustomKernel(std::string_view name, std::span<const uint8_t> options,
                                    std::vector<HostInput> inputs, std::vector<HostOutput> outputs);

}  // namespace talvex::vision::tflite
