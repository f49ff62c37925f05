// Runs a TensorFlow Lite model on XNNPACK. The file is read with our own reader, half-precision
// constants are widened to single precision at load, and the operators are grouped into
// XNNPACK runtimes; the few operators XNNPACK lacks (concatenation, MediaPipe's custom
// operators) run on the host between them. Callers see exactly the model's declared inputs
// and outputs as float NHWC tensors.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/result.h"

namespace talvex::vision::tflite {

struct TensorShape {
  std::vector<int> dims;
  size_t elements() const;
};

// One model compiled into an XNNPACK runtime. Lifecycle: load once, invoke per frame; input
// and output pointers stay valid for the Model's life. Threading: one thread at a time (the
// Model owns its worker pool of `threads` threads; 1 means the calling thread alone).
class Model {
 public:
  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // Fails with a message naming the file and the problem (missing, damaged, unsupported op).
  // `outputs` names the outputs the caller will read; only they and the operators they depend
  // on are computed, and the others are not outputs of the loaded Model. Empty means all.
  static Result<std::unique_ptr<Model>> load(const std::string& path, int threads,
                                             const std::vector<std::string>& outputs = {});
  // The same from bytes already in memory; `name` is used in messages.
  static Result<std::unique_ptr<Model>> loadBytes(std::vector<uint8_t> bytes,
                                                  const std::string& name, int threads,
                                                  const std::vector<std::string>& outputs = {});

  size_t inputCount() const;
  const TensorShape& inputShape(size_t i) const;
  float* input(size_t i);
  Status invoke();
  size_t outputCount() const;
  const TensorShape& outputShape(size_t i) const;
  const float* output(size_t i) const;
  // The output whose tensor carries this name in the model file.
  std::optional<size_t> outputIndex(std::string_view tensorName) const;
  const std::string& outputName(size_t i) const;

  struct Impl;
  static std::unique_ptr<Model> fromImpl(std::unique_ptr<Impl> impl);

 private:
  explicit Model(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex::vision::tflite
