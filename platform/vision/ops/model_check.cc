#include "platform/vision/ops/model_check.h"

#include "platform/vision/ops/model_paths.h"

namespace talvex::vision {

Result<std::unique_ptr<tflite::Model>> loadModel(std::string_view fileName, int threads,
                                                 const std::vector<std::string>& outputs) {
  auto path = modelPath(fileName);
  if (!path) return path.status();
  return tflite::Model::load(*path, threads, outputs);
}

Status checkSquareRgbInput(const tflite::Model& model, std::string_view fileName, int size) {
  if (model.inputCount() != 1 || model.inputShape(0).dims != std::vector<int>{1, size, size, 3}) {
    return Status::failure(std::string(fileName) + ": expected one " + std::to_string(size) + "x" +
                           std::to_string(size) + " RGB input");
  }
  return Status::ok();
}

Result<size_t> findOutput(const tflite::Model& model, std::string_view fileName,
                          std::string_view tensorName, size_t elements) {
  auto index = model.outputIndex(tensorName);
  if (!index || model.outputShape(*index).elements() != elements) {
    return Result<size_t>::failure(std::string(fileName) + ": expected an output " +
                                   std::string(tensorName) + " of " + std::to_string(elements) +
                                   " values");
  }
  return *index;
}

}  // namespace talvex::vision
