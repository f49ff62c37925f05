#include "platform/vision/tflite/xnn_ops.h"

#include <algorithm>
#include <array>
#include <limits>

#include "platform/vision/tflite/xnn_segment.h"

namespace talvex::vision::tflite {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Input `k` of `op`, or -1 when the operator has fewer inputs (or that optional one is absent).
int input(const OperatorDesc& op, size_t k) { return k < op.inputs.size() ? op.inputs[k] : -1; }

// Input `k` holds constant float values (weights, slopes).
bool constantInput(const XnnSegment& seg, const OperatorDesc& op, size_t k) {
  return op.inputs.size() > k && input(op, k) >= 0 && seg.isFloatConst(input(op, k));
}

// The clamp range of a fused activation code as the file stores it; nullopt when unknown.
std::optional<std::pair<float, float>> activationRange(int code) {
  switch (code) {
    case 0:
      return std::pair{-kInf, kInf};
    case 1:
      return std::pair{0.f, kInf};
    case 2:
      return std::pair{-1.f, 1.f};
    case 3:
      return std::pair{0.f, 6.f};
    default:
      return std::nullopt;
  }
}

// The fused activation stored in option `field` (none when the operator has no options).
std::optional<std::pair<float, float>> fusedActivation(const OperatorDesc& op, int field) {
  return activationRange(op.options ? op.options->scalar<int8_t>(field) : 0);
}

// The output dims of `op` (for reshapes).
std::vector<size_t> outputDims(const XnnSegment& seg, const OperatorDesc& op) {
  const auto& s = seg.shape(op.outputs[0]);
  return {s.begin(), s.end()};
}

// Defines `node` into a temporary of `dims`, then reshapes that into the operator's output.
template <class DefineNode>
Status throughReshape(XnnSegment& seg, const OperatorDesc& op, const std::vector<size_t>& dims,
                      uint32_t out, DefineNode node) {
  auto t = seg.temp(dims);
  if (!t) return t.status();
  if (Status s = seg.check(node(*t), op, "the node"); !s) return s;
  const std::vector<size_t> outDims = outputDims(seg, op);
  return seg.check(
      xnn_define_static_reshape(seg.subgraph(), outDims.size(), outDims.data(), *t, out, 0), op,
      "the reshape");
}

// Options of CONV_2D and DEPTHWISE_CONV_2D; the depthwise one has its depth multiplier at
// field 3, which moves the fused activation and dilations one field on.
struct ConvOptions {
  bool samePadding = true;
  uint32_t strideW = 1, strideH = 1, dilationW = 1, dilationH = 1;
  int activation = 0;
};

ConvOptions convOptions(const OperatorDesc& op, bool depthwise) {
  ConvOptions c;
  if (const auto& o = op.options) {
    c.samePadding = o->scalar<int8_t>(0) == 0;
    c.strideW = o->scalar<int32_t>(1, 1);
    c.strideH = o->scalar<int32_t>(2, 1);
    c.activation = o->scalar<int8_t>(depthwise ? 4 : 3);
    c.dilationW = o->scalar<int32_t>(depthwise ? 5 : 4, 1);
    c.dilationH = o->scalar<int32_t>(depthwise ? 6 : 5, 1);
  }
  return c;
}

Status defineConvolution(XnnSegment& seg, const OperatorDesc& op) {
  if (!constantInput(seg, op, 1)) return seg.bad(op, "weights must be constant");
  const bool dw = op.code == op::kDepthwiseConv2d;
  const auto& w = seg.shape(input(op, 1));
  const auto& x = seg.shape(input(op, 0));
  if (w.size() != 4 || x.size() != 4 || seg.shape(op.outputs[0]).size() != 4)
    return seg.bad(op, "expects 4-D tensors");
  const ConvOptions c = convOptions(op, dw);
  const auto act = activationRange(c.activation);
  if (!act) return seg.bad(op, "unsupported fused activation");
  const auto [lo, hi] = *act;
  const uint32_t flags = c.samePadding ? XNN_FLAG_TENSORFLOW_SAME_PADDING : 0;
  auto ins = seg.weightedInputs(input(op, 0), input(op, 1), input(op, 2));
  if (!ins) return ins.status();
  auto oi = seg.value(op.outputs[0]);
  if (!oi) return oi.status();
  if (dw) {
    const int cin = x[3];
    const int mult = cin > 0 ? w[3] / cin : 0;
    if (mult <= 0 || mult * cin != w[3]) return seg.bad(op, "channel count mismatch");
    return seg.check(
        xnn_define_depthwise_convolution_2d(seg.subgraph(), 0, 0, 0, 0, w[1], w[2], c.strideH,
                                            c.strideW, c.dilationH, c.dilationW, mult, cin, lo, hi,
                                            ins->data, ins->weights, ins->bias, *oi, flags),
        op, "the node");
  }
  if (w[3] != x[3]) return seg.bad(op, "channel count mismatch");
  return seg.check(xnn_define_convolution_2d(seg.subgraph(), 0, 0, 0, 0, w[1], w[2], c.strideH,
                                             c.strideW, c.dilationH, c.dilationW, 1, w[3], w[0], lo,
                                             hi, ins->data, ins->weights, ins->bias, *oi, flags),
                   op, "the node");
}

// Padding of a transposed convolution along one axis: before, after, and the extra rows or
// columns XNNPACK calls the adjustment. False when the output size cannot come from the input.
struct DeconvPads {
  uint32_t before = 0, after = 0, adjustment = 0;
};
bool deconvPads(bool samePadding, int inSize, int kernel, int stride, int outSize, DeconvPads& p) {
  const int full = (inSize - 1) * stride + kernel;
  const int total = samePadding ? std::max(full - outSize, 0) : 0;
  p.before = static_cast<uint32_t>(total / 2);
  p.after = static_cast<uint32_t>(total - total / 2);
  const int rest = outSize - (full - total);
  if (rest < 0 || rest >= stride) return false;
  p.adjustment = static_cast<uint32_t>(rest);
  return true;
}

// Inputs: the output shape, weights, data and an optional bias.
Status defineTransposeConvolution(XnnSegment& seg, const OperatorDesc& op) {
  if (op.inputs.size() < 3 || !constantInput(seg, op, 1))
    return seg.bad(op, "weights must be constant");
  const auto& w = seg.shape(input(op, 1));
  const auto& x = seg.shape(input(op, 2));
  const auto& outShape = seg.shape(op.outputs[0]);
  if (w.size() != 4 || x.size() != 4 || outShape.size() != 4)
    return seg.bad(op, "expects 4-D tensors");
  const auto& o = op.options;
  const bool same = (o ? o->scalar<int8_t>(0) : 0) == 0;
  const int sw = o ? o->scalar<int32_t>(1, 1) : 1, sh = o ? o->scalar<int32_t>(2, 1) : 1;
  DeconvPads v, h;
  if (!deconvPads(same, x[1], w[1], sh, outShape[1], v) ||
      !deconvPads(same, x[2], w[2], sw, outShape[2], h))
    return seg.bad(op, "output size does not follow from the input");
  auto ins = seg.weightedInputs(input(op, 2), input(op, 1), input(op, 3));
  if (!ins) return ins.status();
  auto oi = seg.value(op.outputs[0]);
  if (!oi) return oi.status();
  return seg.check(
      xnn_define_deconvolution_2d(seg.subgraph(), v.before, h.after, v.after, h.before,
                                  v.adjustment, h.adjustment, w[1], w[2], sh, sw, 1, 1, 1, w[3],
                                  w[0], -kInf, kInf, ins->data, ins->weights, ins->bias, *oi, 0),
      op, "the node");
}

Status defineFullyConnected(XnnSegment& seg, const OperatorDesc& op) {
  if (!constantInput(seg, op, 1)) return seg.bad(op, "weights must be constant");
  const auto act = fusedActivation(op, 0);
  if (!act) return seg.bad(op, "unsupported fused activation");
  const auto [lo, hi] = *act;
  const auto& w = seg.shape(input(op, 1));
  if (w.size() != 2) return seg.bad(op, "weights must be 2-D");
  if (w[0] <= 0 || w[1] <= 0) return seg.bad(op, "weights have no elements");
  auto ins = seg.weightedInputs(input(op, 0), input(op, 1), input(op, 2));
  if (!ins) return ins.status();
  const uint32_t flags = seg.shape(input(op, 0)).size() != 2 ? XNN_FLAG_TENSORFLOW_RESHAPE_2D : 0;
  auto node = [&](uint32_t out) {
    return xnn_define_fully_connected(seg.subgraph(), lo, hi, ins->data, ins->weights, ins->bias,
                                      out, flags);
  };
  if (seg.shape(op.outputs[0]).size() == 2) {
    auto oi = seg.value(op.outputs[0]);
    if (!oi) return oi.status();
    return seg.check(node(*oi), op, "the node");
  }
  // A higher-rank output: the 2-D product, then a reshape.
  const size_t batch = seg.context().elements(input(op, 0)) / static_cast<size_t>(w[1]);
  auto ti = seg.temp({batch, static_cast<size_t>(w[0])});
  auto oi = seg.value(op.outputs[0]);
  if (!ti) return ti.status();
  if (!oi) return oi.status();
  if (Status s = seg.check(node(*ti), op, "the node"); !s) return s;
  const std::vector<size_t> dims = outputDims(seg, op);
  return seg.check(xnn_define_static_reshape(seg.subgraph(), dims.size(), dims.data(), *ti, *oi, 0),
                   op, "the reshape");
}

Status defineBinary(XnnSegment& seg, const OperatorDesc& op) {
  if (input(op, 1) < 0) return seg.bad(op, "needs two inputs");
  const auto act = fusedActivation(op, 0);
  if (!act) return seg.bad(op, "unsupported fused activation");
  const auto [lo, hi] = *act;
  auto a = seg.value(input(op, 0));
  auto b = seg.value(input(op, 1));
  auto o = seg.value(op.outputs[0]);
  if (!a) return a.status();
  if (!b) return b.status();
  if (!o) return o.status();
  xnn_subgraph_t sg = seg.subgraph();
  const xnn_status s = op.code == op::kAdd   ? xnn_define_add2(sg, lo, hi, *a, *b, *o, 0)
                       : op.code == op::kSub ? xnn_define_subtract(sg, lo, hi, *a, *b, *o, 0)
                       : op.code == op::kMul ? xnn_define_multiply2(sg, lo, hi, *a, *b, *o, 0)
                                             : xnn_define_divide(sg, lo, hi, *a, *b, *o, 0);
  return seg.check(s, op, "the node");
}

Status definePooling(XnnSegment& seg, const OperatorDesc& op) {
  const auto& o = op.options;
  if (!o) return seg.bad(op, "missing options");
  const uint32_t sw = o->scalar<int32_t>(1, 1), sh = o->scalar<int32_t>(2, 1);
  const uint32_t fw = o->scalar<int32_t>(3, 1), fh = o->scalar<int32_t>(4, 1);
  const auto act = activationRange(o->scalar<int8_t>(5));
  if (!act) return seg.bad(op, "unsupported fused activation");
  const auto [lo, hi] = *act;
  const uint32_t flags = o->scalar<int8_t>(0) == 0 ? XNN_FLAG_TENSORFLOW_SAME_PADDING : 0;
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  if (op.code == op::kMaxPool2d)
    return seg.check(xnn_define_max_pooling_2d(seg.subgraph(), 0, 0, 0, 0, fh, fw, sh, sw, 1, 1, lo,
                                               hi, io->in, io->out, flags),
                     op, "the node");
  return seg.check(xnn_define_average_pooling_2d(seg.subgraph(), 0, 0, 0, 0, fh, fw, sh, sw, lo, hi,
                                                 io->in, io->out, flags),
                   op, "the node");
}

Status defineClamp(XnnSegment& seg, const OperatorDesc& op) {
  const float lo = op.code == op::kReluN1To1 ? -1.f : 0.f;
  const float hi = op.code == op::kRelu ? kInf : op.code == op::kRelu6 ? 6.f : 1.f;
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  return seg.check(xnn_define_clamp(seg.subgraph(), lo, hi, io->in, io->out, 0), op, "the node");
}

Status defineElementwise(XnnSegment& seg, const OperatorDesc& op) {
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  return seg.check(op.code == op::kLogistic
                       ? xnn_define_sigmoid(seg.subgraph(), io->in, io->out, 0)
                       : xnn_define_hardswish(seg.subgraph(), io->in, io->out, 0),
                   op, "the node");
}

// XNNPACK wants the slopes as a 1-D per-channel vector.
Status definePrelu(XnnSegment& seg, const OperatorDesc& op) {
  if (!constantInput(seg, op, 1)) return seg.bad(op, "slopes must be constant");
  const std::vector<size_t> slopeDims{seg.context().elements(input(op, 1))};
  const auto& x = seg.shape(input(op, 0));
  if (x.empty() || slopeDims[0] != static_cast<size_t>(x.back()))
    return seg.bad(op, "slopes must be per channel");
  auto a = seg.value(input(op, 0));
  auto s = seg.value(input(op, 1), &slopeDims);
  auto o = seg.value(op.outputs[0]);
  if (!a) return a.status();
  if (!s) return s.status();
  if (!o) return o.status();
  return seg.check(xnn_define_prelu(seg.subgraph(), *a, *s, *o, 0), op, "the node");
}

Status defineReshape(XnnSegment& seg, const OperatorDesc& op) {
  const BuildContext& ctx = seg.context();
  if (ctx.elements(input(op, 0)) != ctx.elements(op.outputs[0]))
    return seg.bad(op, "changes the element count");
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  const std::vector<size_t> dims = outputDims(seg, op);
  return seg.check(
      xnn_define_static_reshape(seg.subgraph(), dims.size(), dims.data(), io->in, io->out, 0), op,
      "the node");
}

Status definePad(XnnSegment& seg, const OperatorDesc& op) {
  const std::vector<int> p = seg.context().intConst(input(op, 1));
  const auto& x = seg.shape(input(op, 0));
  if (p.size() != 2 * x.size()) return seg.bad(op, "paddings must be constant, two per dimension");
  std::vector<size_t> pre, post;
  for (size_t d = 0; d < x.size(); ++d) {
    if (p[2 * d] < 0 || p[2 * d + 1] < 0) return seg.bad(op, "negative padding");
    pre.push_back(static_cast<size_t>(p[2 * d]));
    post.push_back(static_cast<size_t>(p[2 * d + 1]));
  }
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  return seg.check(xnn_define_static_constant_pad(seg.subgraph(), pre.data(), post.data(), 0.f,
                                                  io->in, io->out, 0),
                   op, "the node");
}

// MEAN over height and width is global average pooling.
Status defineMean(XnnSegment& seg, const OperatorDesc& op) {
  std::vector<int> axes = seg.context().intConst(input(op, 1));
  std::sort(axes.begin(), axes.end());
  const auto& x = seg.shape(input(op, 0));
  if (x.size() != 4 || axes != std::vector<int>{1, 2})
    return seg.bad(op, "only the spatial mean of a 4-D tensor is supported");
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  auto node = [&](uint32_t out) {
    return xnn_define_global_average_pooling_2d(seg.subgraph(), -kInf, kInf, io->in, out, 0);
  };
  if (seg.shape(op.outputs[0]).size() == 4) return seg.check(node(io->out), op, "the node");
  const std::vector<size_t> pooled{static_cast<size_t>(x[0]), 1, 1, static_cast<size_t>(x[3])};
  return throughReshape(seg, op, pooled, io->out, node);
}

Status defineDepthToSpace(XnnSegment& seg, const OperatorDesc& op) {
  const uint32_t block = op.options ? op.options->scalar<int32_t>(0) : 0;
  if (block < 2) return seg.bad(op, "block size must be at least 2");
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  return seg.check(xnn_define_depth_to_space(seg.subgraph(), io->in, io->out, block, 0), op,
                   "the node");
}

Status defineResizeBilinear(XnnSegment& seg, const OperatorDesc& op) {
  const auto& outShape = seg.shape(op.outputs[0]);
  if (outShape.size() != 4) return seg.bad(op, "expects 4-D tensors");
  const bool align = op.options && op.options->scalar<uint8_t>(2) != 0;
  const bool halfPixel = op.options && op.options->scalar<uint8_t>(3) != 0;
  const uint32_t flags = align       ? XNN_FLAG_ALIGN_CORNERS
                         : halfPixel ? 0
                                     : XNN_FLAG_TENSORFLOW_LEGACY_MODE;
  auto io = seg.inOut(input(op, 0), op.outputs[0]);
  if (!io) return io.status();
  return seg.check(xnn_define_static_resize_bilinear_2d(seg.subgraph(), outShape[1], outShape[2],
                                                        io->in, io->out, flags),
                   op, "the node");
}

using DefineFn = Status (*)(XnnSegment&, const OperatorDesc&);
struct XnnOp {
  int code;
  DefineFn define;
};

constexpr std::array kXnnOps{
    XnnOp{op::kConv2d, defineConvolution},
    XnnOp{op::kDepthwiseConv2d, defineConvolution},
    XnnOp{op::kTransposeConv, defineTransposeConvolution},
    XnnOp{op::kFullyConnected, defineFullyConnected},
    XnnOp{op::kAdd, defineBinary},
    XnnOp{op::kSub, defineBinary},
    XnnOp{op::kMul, defineBinary},
    XnnOp{op::kDiv, defineBinary},
    XnnOp{op::kMaxPool2d, definePooling},
    XnnOp{op::kAveragePool2d, definePooling},
    XnnOp{op::kRelu, defineClamp},
    XnnOp{op::kRelu6, defineClamp},
    XnnOp{op::kReluN1To1, defineClamp},
    XnnOp{op::kLogistic, defineElementwise},
    XnnOp{op::kHardSwish, defineElementwise},
    XnnOp{op::kPrelu, definePrelu},
    XnnOp{op::kReshape, defineReshape},
    XnnOp{op::kSqueeze, defineReshape},
    XnnOp{op::kPad, definePad},
    XnnOp{op::kMean, defineMean},
    XnnOp{op::kDepthToSpace, defineDepthToSpace},
    XnnOp{op::kResizeBilinear, defineResizeBilinear},
};

DefineFn definitionOf(int code) {
  for (const XnnOp& o : kXnnOps)
    if (o.code == code) return o.define;
  return nullptr;
}

}  // namespace

bool xnnSupports(int code) { return definitionOf(code) != nullptr; }

Status defineXnnOp(XnnSegment& seg, const OperatorDesc& op) {
  if (op.inputs.empty() || op.inputs[0] < 0)
    return seg.context().fail(operatorName(op.code) + " has no input");
  DefineFn define = definitionOf(op.code);
  if (!define) return seg.bad(op, "unsupported");
  return define(seg, op);
}

}  // namespace talvex::vision::tflite
