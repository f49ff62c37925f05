#include "platform/vision/testing/failing_model.h"

#include <fstream>
#include <iterator>

#include "platform/vision/ops/model_paths.h"
#include "platform/vision/tflite/model_impl.h"

namespace talvex::vision::testing {

Result<std::unique_ptr<tflite::Model>> loadFailingModel(std::string_view fileName,
                                                        const std::vector<std::string>& outputs) {
  auto path = modelPath(fileName);
  if (!path) return path.status();
  std::ifstream in(*path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  auto impl = tflite::buildModel(std::move(bytes), *path, 1, outputs);
  if (!impl) return impl.status();
  (*impl)->stages.emplace_back(
      tflite::HostStage{[] { return Status::failure("injected failure of a model run"); }});
  return tflite::Model::fromImpl(std::move(impl.value()));
}

}  // namespace talvex::vision::testing
