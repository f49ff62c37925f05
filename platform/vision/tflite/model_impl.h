// Inside the model runtime: the state a loaded Model holds, shared by the builder's stages
// (graph planning, host stages, XNNPACK stages) and by Model itself. Not for pipeline code.
#pragma once

#include <pthreadpool.h>
#include <xnnpack.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/tflite/host_kernel.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision::tflite {

struct RuntimeDeleter {
  void operator()(xnn_runtime_t r) const { xnn_delete_runtime(r); }
};
struct ThreadpoolDeleter {
  void operator()(pthreadpool_t p) const { pthreadpool_destroy(p); }
};
using RuntimePtr = std::unique_ptr<xnn_runtime, RuntimeDeleter>;
using ThreadpoolPtr = std::unique_ptr<std::remove_pointer_t<pthreadpool_t>, ThreadpoolDeleter>;

// One run of operators XNNPACK executes, or one operator the host runs between such runs.
struct XnnStage {
  RuntimePtr runtime;
};
struct HostStage {
  HostKernel kernel;
};

struct Model::Impl {
  std::string name;
  std::vector<uint8_t> bytes;
  ThreadpoolPtr pool;
  // Constant tensors widened to float, and the host buffers of tensors that cross stages.
  // A folded DEQUANTIZE shares its input's values rather than copying them.
  std::map<int, std::shared_ptr<std::vector<float>>> constants;
  std::map<int, std::vector<int32_t>> intConstants;
  std::map<int, std::vector<float>> buffers;
  std::vector<std::variant<XnnStage, HostStage>> stages;
  std::vector<int> inputTensors, outputTensors;
  std::vector<TensorShape> inputShapes, outputShapes;
  std::vector<std::string> outputNames;
  std::vector<float*> inputPtrs;
  std::vector<const float*> outputPtrs;
};

// Reads the model in `bytes` and builds its stages; `name` is used in messages. What
// Model::loadBytes wraps.
Result<std::unique_ptr<Model::Impl>> buildModel(std::vector<uint8_t> bytes, const std::string& name,
                                                int threads,
                                                const std::vector<std::string>& outputs);

}  // namespace talvex::vision::tflite
