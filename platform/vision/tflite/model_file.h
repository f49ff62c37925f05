// The parts of a TensorFlow Lite model file that inference needs, read with our own bounds-
// checked FlatBuffers view: tensors, operators with their options, constant buffers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/tflite/flatbuffer.h"

namespace talvex::vision::tflite {

// Element types as the file encodes them.
enum class ElementType : int8_t {
  Float32 = 0,
  Float16 = 1,
  Int32 = 2,
  UInt8 = 3,
  Int64 = 4,
  Int8 = 9
};

// Built-in operator codes used by the models we run (the file's numbering).
namespace op {
inline constexpr int kAdd = 0, kAveragePool2d = 1, kConcatenation = 2, kConv2d = 3,
                     kDepthwiseConv2d = 4, kDepthToSpace = 5, kDequantize = 6, kFullyConnected = 9,
                     kLogistic = 14, kMaxPool2d = 17, kMul = 18, kRelu = 19, kReluN1To1 = 20,
                     kRelu6 = 21, kReshape = 22, kResizeBilinear = 23, kCustom = 32, kPad = 34,
                     kMean = 40, kStridedSlice = 45, kSub = 41, kDiv = 42, kSqueeze = 43,
                     kPrelu = 54, kTransposeConv = 67, kHardSwish = 117, kDensify = 124;
}  // namespace op

// How a sparse constant is stored: per traversed dimension either dense, or compressed with
// segment and index arrays.
struct SparsityDesc {
  struct Dim {
    bool sparse = false;
    int denseSize = 0;
    std::vector<int> segments, indices;
  };
  std::vector<int> traversalOrder, blockMap;
  std::vector<Dim> dims;
};

struct TensorDesc {
  std::optional<SparsityDesc> sparsity;
  std::vector<int> shape;
  int type = 0;  // ElementType value as stored
  uint32_t buffer = 0;
  std::string name;
};

struct OperatorDesc {
  int code = -1;                     // built-in operator code
  std::string customCode;            // for custom operators
  std::vector<int> inputs, outputs;  // tensor indices; -1 means "absent optional input"
  std::optional<FlatTable> options;  // the built-in options table, if any
  std::span<const uint8_t> customOptions;
};

// A parsed model. Borrows the file bytes: they must outlive this object.
struct ModelFile {
  std::vector<TensorDesc> tensors;
  std::vector<OperatorDesc> operators;
  std::vector<int> inputs, outputs;
  std::vector<std::span<const uint8_t>> buffers;

  // Parses the first subgraph of `bytes`. `file` must view the same bytes and outlive the
  // result (operator options are read lazily through it).
  static Result<ModelFile> parse(const FlatFile& file);
};

// Expands a sparse constant of `shape` whose stored values are `values` (element size
// `elementSize` bytes) into dense bytes. Fails when the description is inconsistent.
Result<std::vector<uint8_t>> densify(const SparsityDesc& sparsity, const std::vector<int>& shape,
                                     std::span<const uint8_t> values, size_t elementSize);

// A readable name for a built-in operator code, for error messages.
std::string operatorName(int code);

// IEEE 754 half precision to single precision (handles subnormals, infinities and NaN).
float halfToFloat(uint16_t h);

}  // namespace talvex::vision::tflite
