#include "platform/vision/tflite/model_file.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace talvex::vision::tflite {
namespace {

// Field numbers of the tables we read.
namespace model_field {
constexpr int kOperatorCodes = 1, kSubgraphs = 2, kBuffers = 4;
}
namespace opcode_field {
constexpr int kDeprecatedBuiltin = 0, kCustomCode = 1, kBuiltin = 3;
}
namespace subgraph_field {
constexpr int kTensors = 0, kInputs = 1, kOutputs = 2, kOperators = 3;
}
namespace tensor_field {
constexpr int kShape = 0, kType = 1, kBuffer = 2, kName = 3, kSparsity = 6;
}
namespace buffer_field {
constexpr int kData = 0, kOffset = 1, kSize = 2;
}
namespace operator_field {
constexpr int kOpcodeIndex = 0, kInputs = 1, kOutputs = 2, kBuiltinOptions = 4, kCustomOptions = 5;
}

// Far above any tensor of the models we run (the largest holds 256 x 256 x 39 floats).
constexpr uint64_t kMaxTensorElements = uint64_t{1} << 26;

std::vector<int> intVector(const FlatVector& v) {
  std::vector<int> out(v.size());
  for (uint32_t i = 0; i < v.size(); ++i) out[i] = v.scalar<int32_t>(i);
  return out;
}

// A sparse index vector is a union of int32, uint16 and uint8 vectors, each in a table.
std::vector<int> indexVector(const FlatTable& t, int typeField, int valueField) {
  uint8_t type = t.scalar<uint8_t>(typeField);
  auto v = t.table(valueField);
  if (!v) return {};
  size_t width = type == 1 ? 4 : type == 2 ? 2 : type == 3 ? 1 : 0;
  if (width == 0) return {};
  FlatVector values = v->vector(0, width);
  std::vector<int> out(values.size());
  for (uint32_t i = 0; i < values.size(); ++i)
    out[i] = width == 4   ? values.scalar<int32_t>(i)
             : width == 2 ? values.scalar<uint16_t>(i)
                          : values.scalar<uint8_t>(i);
  return out;
}

std::optional<SparsityDesc> sparsityOf(const FlatTable& tensor) {
  auto sp = tensor.table(tensor_field::kSparsity);
  if (!sp) return std::nullopt;
  SparsityDesc d;
  d.traversalOrder = intVector(sp->vector(0, 4));
  d.blockMap = intVector(sp->vector(1, 4));
  FlatVector dims = sp->vector(2, 4);
  for (uint32_t i = 0; i < dims.size(); ++i) {
    auto m = dims.table(i);
    if (!m) return d;
    SparsityDesc::Dim dim;
    dim.sparse = m->scalar<int8_t>(0) == 1;
    dim.denseSize = m->scalar<int32_t>(1);
    dim.segments = indexVector(*m, 2, 3);
    dim.indices = indexVector(*m, 4, 5);
    d.dims.push_back(std::move(dim));
  }
  return d;
}

}  // namespace

Result<std::vector<uint8_t>> densify(const SparsityDesc& sp, const std::vector<int>& shape,
                                     std::span<const uint8_t> values, size_t elementSize) {
  using R = Result<std::vector<uint8_t>>;
  const size_t rank = shape.size();
  const size_t levels = sp.traversalOrder.size();
  if (levels != rank + sp.blockMap.size() || sp.dims.size() != levels)
    return R::failure("inconsistent sparse tensor description");
  // Block sizes per original dimension (1 when the dimension is not blocked).
  std::vector<int> blockSize(rank, 1);
  for (size_t b = 0; b < sp.blockMap.size(); ++b) {
    int d = sp.blockMap[b];
    if (d < 0 || static_cast<size_t>(d) >= rank)
      return R::failure("sparse block refers to a missing dimension");
    blockSize[d] = sp.dims[rank + b].denseSize;
    if (blockSize[d] <= 0) return R::failure("sparse block of size zero");
  }
  for (int t : sp.traversalOrder)
    if (t < 0 || static_cast<size_t>(t) >= levels)
      return R::failure("sparse traversal order out of range");
  size_t total = 1;
  for (int s : shape) total *= static_cast<size_t>(s);
  std::vector<uint8_t> dense(total * elementSize, 0);
  const size_t valueCount = values.size() / elementSize;
  std::vector<int> coord(levels, 0);  // per traversal dimension (original dims, then block dims)
  bool ok = true;
  // Walks the levels in traversal order; `pos` is the running position at the previous level.
  auto walk = [&](auto&& self, size_t level, size_t pos) -> void {
    if (!ok) return;
    if (level == levels) {
      size_t index = 0;
      for (size_t d = 0; d < rank; ++d) {
        size_t c = static_cast<size_t>(coord[d]) * blockSize[d];
        for (size_t b = 0; b < sp.blockMap.size(); ++b)
          if (static_cast<size_t>(sp.blockMap[b]) == d) c += static_cast<size_t>(coord[rank + b]);
        if (c >= static_cast<size_t>(shape[d])) {
          ok = false;
          return;
        }
        index = index * static_cast<size_t>(shape[d]) + c;
      }
      if (pos >= valueCount) {
        ok = false;
        return;
      }
      std::memcpy(dense.data() + index * elementSize, values.data() + pos * elementSize,
                  elementSize);
      return;
    }
    const int dim = sp.traversalOrder[level];
    const SparsityDesc::Dim& m = sp.dims[level];
    if (!m.sparse) {
      for (int j = 0; j < m.denseSize && ok; ++j) {
        coord[dim] = j;
        self(self, level + 1, pos * static_cast<size_t>(m.denseSize) + static_cast<size_t>(j));
      }
      return;
    }
    if (pos + 1 >= m.segments.size()) {
      ok = false;
      return;
    }
    for (int j = m.segments[pos]; j < m.segments[pos + 1] && ok; ++j) {
      if (j < 0 || static_cast<size_t>(j) >= m.indices.size()) {
        ok = false;
        return;
      }
      coord[dim] = m.indices[j];
      self(self, level + 1, static_cast<size_t>(j));
    }
  };
  walk(walk, 0, 0);
  if (!ok) return R::failure("sparse tensor indices are out of range");
  return dense;
}

namespace {

struct OperatorCode {
  int builtin;
  std::string custom;
};

Result<std::vector<OperatorCode>> readOperatorCodes(const FlatTable& root) {
  std::vector<OperatorCode> codes;
  FlatVector opcodes = root.vector(model_field::kOperatorCodes, 4);
  for (uint32_t i = 0; i < opcodes.size(); ++i) {
    auto t = opcodes.table(i);
    if (!t) return Result<std::vector<OperatorCode>>::failure("damaged operator code table");
    // Newer files keep small codes in the deprecated byte and the full code beside it.
    int code = std::max<int>(t->scalar<int8_t>(opcode_field::kDeprecatedBuiltin),
                             t->scalar<int32_t>(opcode_field::kBuiltin));
    codes.push_back({code, std::string(t->string(opcode_field::kCustomCode))});
  }
  return codes;
}

Status readBuffers(const FlatFile& file, const FlatTable& root, ModelFile& m) {
  FlatVector buffers = root.vector(model_field::kBuffers, 4);
  for (uint32_t i = 0; i < buffers.size(); ++i) {
    auto t = buffers.table(i);
    if (!t) return Status::failure("damaged buffer table");
    std::span<const uint8_t> data = t->vector(buffer_field::kData, 1).bytes();
    uint64_t off = t->scalar<uint64_t>(buffer_field::kOffset);
    uint64_t size = t->scalar<uint64_t>(buffer_field::kSize);
    if (data.empty() && off > 1) {  // large models keep their data after the FlatBuffer
      if (off > file.bytes().size() || size > file.bytes().size() - off)
        return Status::failure("buffer " + std::to_string(i) + " lies outside the file");
      data = file.bytes().subspan(off, size);
    }
    m.buffers.push_back(data);
  }
  return Status::ok();
}

Result<TensorDesc> readTensor(const FlatTable& t, const ModelFile& m) {
  using R = Result<TensorDesc>;
  TensorDesc d;
  d.shape = intVector(t.vector(tensor_field::kShape, 4));
  d.type = t.scalar<int8_t>(tensor_field::kType);
  d.buffer = t.scalar<uint32_t>(tensor_field::kBuffer);
  d.name = std::string(t.string(tensor_field::kName));
  d.sparsity = sparsityOf(t);
  // Shapes come from the file: bound them before anything is allocated for them.
  uint64_t elements = 1;
  for (int dim : d.shape) {
    if (dim < 0 || dim > (1 << 24))
      return R::failure("tensor " + d.name + " has an unusable shape");
    elements *= static_cast<uint64_t>(std::max(dim, 1));
    if (elements > kMaxTensorElements) return R::failure("tensor " + d.name + " is too large");
  }
  if (d.shape.size() > 8) return R::failure("tensor " + d.name + " has too many dimensions");
  if (d.buffer >= m.buffers.size() && !m.buffers.empty())
    return R::failure("tensor " + d.name + " refers to a missing buffer");
  return d;
}

// True when every index names a tensor (or, where allowed, is -1 for an absent input).
bool validIndices(const std::vector<int>& v, const ModelFile& m, bool allowAbsent) {
  const int tensorCount = static_cast<int>(m.tensors.size());
  return std::all_of(v.begin(), v.end(), [&](int t) {
    return (t >= 0 && t < tensorCount) || (allowAbsent && t == -1);
  });
}

Status readOperators(const FlatTable& sg, const std::vector<OperatorCode>& codes, ModelFile& m) {
  FlatVector ops = sg.vector(subgraph_field::kOperators, 4);
  for (uint32_t i = 0; i < ops.size(); ++i) {
    auto t = ops.table(i);
    if (!t) return Status::failure("damaged operator table");
    OperatorDesc d;
    uint32_t ci = t->scalar<uint32_t>(operator_field::kOpcodeIndex);
    if (ci >= codes.size()) return Status::failure("operator refers to a missing code");
    d.code = codes[ci].builtin;
    d.customCode = codes[ci].custom;
    d.inputs = intVector(t->vector(operator_field::kInputs, 4));
    d.outputs = intVector(t->vector(operator_field::kOutputs, 4));
    if (!validIndices(d.inputs, m, true) || !validIndices(d.outputs, m, false) || d.outputs.empty())
      return Status::failure("operator " + operatorName(d.code) + " refers to a missing tensor");
    d.options = t->table(operator_field::kBuiltinOptions);
    d.customOptions = t->vector(operator_field::kCustomOptions, 1).bytes();
    m.operators.push_back(std::move(d));
  }
  return Status::ok();
}

// The first subgraph's tensors, inputs, outputs and operators.
Status readSubgraph(const FlatTable& sg, const std::vector<OperatorCode>& codes, ModelFile& m) {
  FlatVector tensors = sg.vector(subgraph_field::kTensors, 4);
  for (uint32_t i = 0; i < tensors.size(); ++i) {
    auto t = tensors.table(i);
    if (!t) return Status::failure("damaged tensor table");
    auto d = readTensor(*t, m);
    if (!d) return d.status();
    m.tensors.push_back(std::move(d.value()));
  }
  m.inputs = intVector(sg.vector(subgraph_field::kInputs, 4));
  m.outputs = intVector(sg.vector(subgraph_field::kOutputs, 4));
  if (!validIndices(m.inputs, m, false) || !validIndices(m.outputs, m, false) || m.inputs.empty() ||
      m.outputs.empty())
    return Status::failure("model inputs or outputs are missing or out of range");
  return readOperators(sg, codes, m);
}

}  // namespace

Result<ModelFile> ModelFile::parse(const FlatFile& file) {
  auto root = file.root();
  if (!root) return Result<ModelFile>::failure("not a model file (no root table)");
  ModelFile m;
  auto codes = readOperatorCodes(*root);
  if (!codes) return codes.status();
  if (Status s = readBuffers(file, *root, m); !s) return s;
  FlatVector subgraphs = root->vector(model_field::kSubgraphs, 4);
  if (subgraphs.empty()) return Result<ModelFile>::failure("model has no subgraph");
  auto sg = subgraphs.table(0);
  if (!sg) return Result<ModelFile>::failure("damaged subgraph table");
  if (Status s = readSubgraph(*sg, *codes, m); !s) return s;
  if (file.malformed()) return Result<ModelFile>::failure("model file is damaged or truncated");
  return m;
}

std::string operatorName(int code) {
  switch (code) {
    case op::kAdd:
      return "ADD";
    case op::kAveragePool2d:
      return "AVERAGE_POOL_2D";
    case op::kConcatenation:
      return "CONCATENATION";
    case op::kConv2d:
      return "CONV_2D";
    case op::kDepthwiseConv2d:
      return "DEPTHWISE_CONV_2D";
    case op::kDequantize:
      return "DEQUANTIZE";
    case op::kFullyConnected:
      return "FULLY_CONNECTED";
    case op::kLogistic:
      return "LOGISTIC";
    case op::kMaxPool2d:
      return "MAX_POOL_2D";
    case op::kMul:
      return "MUL";
    case op::kRelu:
      return "RELU";
    case op::kReluN1To1:
      return "RELU_N1_TO_1";
    case op::kRelu6:
      return "RELU6";
    case op::kReshape:
      return "RESHAPE";
    case op::kResizeBilinear:
      return "RESIZE_BILINEAR";
    case op::kCustom:
      return "CUSTOM";
    case op::kPad:
      return "PAD";
    case op::kMean:
      return "MEAN";
    case op::kSub:
      return "SUB";
    case op::kDiv:
      return "DIV";
    case op::kSqueeze:
      return "SQUEEZE";
    case op::kPrelu:
      return "PRELU";
    case op::kTransposeConv:
      return "TRANSPOSE_CONV";
    case op::kHardSwish:
      return "HARD_SWISH";
    default:
      return "operator #" + std::to_string(code);
  }
}

float halfToFloat(uint16_t h) {
  uint32_t sign = uint32_t{h & 0x8000u} << 16;
  uint32_t exp = (h >> 10) & 0x1f;
  uint32_t mant = h & 0x3ffu;
  uint32_t bits;
  if (exp == 0x1f) {
    bits = sign | 0x7f800000u | (mant << 13);
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (mant << 13);
  } else if (mant == 0) {
    bits = sign;
  } else {
    // Subnormal half: value is mant * 2^-24, exactly representable as a float.
    float v = static_cast<float>(mant) * 0x1p-24f;
    return sign ? -v : v;
  }
  return std::bit_cast<float>(bits);
}

}  // namespace talvex::vision::tflite
