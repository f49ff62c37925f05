#include <cstring>

#include "platform/vision/tflite/model_build.h"

namespace talvex::vision::tflite {
namespace {

std::shared_ptr<std::vector<float>> widenFloat32(std::span<const uint8_t> data, size_t n) {
  auto v = std::make_shared<std::vector<float>>(n);
  std::memcpy(v->data(), data.data(), n * 4);
  return v;
}

std::shared_ptr<std::vector<float>> widenFloat16(std::span<const uint8_t> data, size_t n) {
  auto v = std::make_shared<std::vector<float>>(n);
  for (size_t k = 0; k < n; ++k) {
    uint16_t h;
    std::memcpy(&h, data.data() + 2 * k, 2);
    (*v)[k] = halfToFloat(h);
  }
  return v;
}

// Stores tensor `t`'s (dense) constant bytes as floats or integers.
Status storeConstant(BuildContext& ctx, int t, std::span<const uint8_t> data) {
  const TensorDesc& d = ctx.file.tensors[t];
  const size_t n = ctx.elements(t);
  const auto type = static_cast<ElementType>(d.type);
  const size_t width = type == ElementType::Float16 ? 2 : 4;
  if (type != ElementType::Float32 && type != ElementType::Float16 && type != ElementType::Int32)
    return ctx.fail("constant " + d.name + " has an unsupported element type " +
                    std::to_string(d.type));
  if (data.size() != n * width) return ctx.fail("constant " + d.name + " does not match its shape");
  if (type == ElementType::Float32) {
    ctx.model.constants[t] = widenFloat32(data, n);
  } else if (type == ElementType::Float16) {
    ctx.model.constants[t] = widenFloat16(data, n);
  } else {
    std::vector<int32_t> v(n);
    std::memcpy(v.data(), data.data(), n * 4);
    ctx.model.intConstants[t] = std::move(v);
  }
  return Status::ok();
}

// Convolution and fully connected nodes copy their weights and biases into XNNPACK's own
// packed layout when the runtime is built.
bool packsInput(const OperatorDesc& op, size_t k) {
  const bool packs = op.code == op::kConv2d || op.code == op::kDepthwiseConv2d ||
                     op.code == op::kFullyConnected || op.code == op::kTransposeConv;
  return packs && (op.code == op::kTransposeConv ? k == 1 || k == 3 : k >= 1);
}

}  // namespace

Status loadConstants(BuildContext& ctx) {
  const ModelFile& f = ctx.file;
  for (size_t i = 0; i < f.tensors.size(); ++i) {
    const TensorDesc& d = f.tensors[i];
    if (d.buffer == 0 || d.buffer >= f.buffers.size()) continue;
    std::span<const uint8_t> data = f.buffers[d.buffer];
    if (data.empty()) continue;
    std::vector<uint8_t> dense;
    if (d.sparsity) {
      size_t width = d.type == static_cast<int>(ElementType::Float16) ? 2 : 4;
      auto r = densify(*d.sparsity, d.shape, data, width);
      if (!r) return ctx.fail("constant " + d.name + ": " + r.message());
      dense = std::move(r.value());
      data = dense;
    }
    if (Status s = storeConstant(ctx, static_cast<int>(i), data); !s) return s;
  }
  return Status::ok();
}

// A constant used only as packed weights need not be kept.
void releasePackedWeights(BuildContext& ctx) {
  std::map<const std::vector<float>*, bool> packedOnly;
  for (size_t i = 0; i < ctx.file.operators.size(); ++i) {
    const OperatorDesc& op = ctx.file.operators[i];
    if (!ctx.plan.live[i] || op.code == op::kDequantize || op.code == op::kDensify) continue;
    for (size_t k = 0; k < op.inputs.size(); ++k) {
      auto it = ctx.model.constants.find(op.inputs[k]);
      if (it == ctx.model.constants.end()) continue;
      auto [slot, fresh] = packedOnly.emplace(it->second.get(), packsInput(op, k));
      if (!fresh) slot->second = slot->second && packsInput(op, k);
    }
  }
  // A constant no running operator reads (it fed a pruned head) is not needed either.
  for (auto& [t, values] : ctx.model.constants) {
    auto it = packedOnly.find(values.get());
    if ((it == packedOnly.end() || it->second) && !ctx.isModelOutput(t))
      std::vector<float>().swap(*values);
  }
}

}  // namespace talvex::vision::tflite
