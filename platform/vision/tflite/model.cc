#include "platform/vision/tflite/model.h"

#include <pthreadpool.h>
#include <xnnpack.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <variant>

#include "platform/vision/tflite/host_kernel.h"
#include "platform/vision/tflite/model_file.h"

namespace talvex::vision::tflite {

size_t TensorShape::elements() const {
  size_t n = 1;
  for (int d : dims) n *= static_cast<size_t>(d);
  return n;
}

namespace {

struct SubgraphDeleter {
  void operator()(xnn_subgraph_t s) const { xnn_delete_subgraph(s); }
};
struct RuntimeDeleter {
  void operator()(xnn_runtime_t r) const { xnn_delete_runtime(r); }
};
struct ThreadpoolDeleter {
  void operator()(pthreadpool_t p) const { pthreadpool_destroy(p); }
};
using SubgraphPtr = std::unique_ptr<xnn_subgraph, SubgraphDeleter>;
using RuntimePtr = std::unique_ptr<xnn_runtime, RuntimeDeleter>;
using ThreadpoolPtr = std::unique_ptr<std::remove_pointer_t<pthreadpool_t>, ThreadpoolDeleter>;

// XNNPACK may read a little past the end of its inputs.
constexpr size_t kPadFloats = 16;

// Fused activation codes as the file stores them.
std::pair<float, float> activationRange(int code, bool* ok) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  *ok = true;
  switch (code) {
    case 0:
      return {-inf, inf};
    case 1:
      return {0.f, inf};
    case 2:
      return {-1.f, 1.f};
    case 3:
      return {0.f, 6.f};
    default:
      *ok = false;
      return {-inf, inf};
  }
}

struct XnnStage {
  RuntimePtr runtime;
};
struct HostStage {
  HostKernel kernel;
};

enum class OpKind { Fold, Xnn, Host };

}  // namespace

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

namespace {

class Builder {
 public:
  Builder(Model::Impl& impl, const ModelFile& file) : m_(impl), f_(file) {}

  // `wanted` names the outputs to compute, in any order; empty means all of them.
  Status build(const std::vector<std::string>& wanted) {
    if (Status s = chooseOutputs(wanted); !s) return s;
    if (Status s = loadConstants(); !s) return s;
    if (Status s = plan(); !s) return s;
    allocateBuffers();
    for (size_t st = 0; st < stageOps_.size(); ++st) {
      Status s = stageIsHost_[st] ? buildHost(stageOps_[st].front()) : buildXnn(stageOps_[st]);
      if (!s) return s;
    }
    releasePackedWeights();
    for (int t : f_.inputs) {
      m_.inputTensors.push_back(t);
      m_.inputShapes.push_back({f_.tensors[t].shape});
      m_.inputPtrs.push_back(m_.buffers[t].data());
    }
    for (int t : outputs_) {
      if (!m_.buffers.count(t)) return fail("output " + f_.tensors[t].name + " is a constant");
      m_.outputTensors.push_back(t);
      m_.outputShapes.push_back({f_.tensors[t].shape});
      m_.outputNames.push_back(f_.tensors[t].name);
      m_.outputPtrs.push_back(m_.buffers[t].data());
    }
    return Status::ok();
  }

 private:
  Status fail(const std::string& what) const { return Status::failure(m_.name + ": " + what); }

  size_t elements(int t) const { return TensorShape{f_.tensors[t].shape}.elements(); }

  // Keeps the wanted outputs (in file order) and marks the operators they depend on. A model
  // often carries heads a pipeline never reads (a segmentation mask, heatmaps); their
  // operators are not run at all.
  Status chooseOutputs(const std::vector<std::string>& wanted) {
    for (const std::string& name : wanted) {
      auto named = [&](int t) { return f_.tensors[t].name == name; };
      if (std::none_of(f_.outputs.begin(), f_.outputs.end(), named))
        return fail("has no output " + name);
    }
    for (int t : f_.outputs)
      if (wanted.empty() ||
          std::find(wanted.begin(), wanted.end(), f_.tensors[t].name) != wanted.end())
        outputs_.push_back(t);
    std::set<int> needed(outputs_.begin(), outputs_.end());
    live_.assign(f_.operators.size(), false);
    for (size_t i = f_.operators.size(); i-- > 0;) {
      const OperatorDesc& op = f_.operators[i];
      if (std::none_of(op.outputs.begin(), op.outputs.end(),
                       [&](int t) { return needed.count(t) > 0; }))
        continue;
      live_[i] = true;
      for (int t : op.inputs)
        if (t >= 0) needed.insert(t);
    }
    return Status::ok();
  }

  Status loadConstants() {
    for (size_t i = 0; i < f_.tensors.size(); ++i) {
      const TensorDesc& d = f_.tensors[i];
      if (d.buffer == 0 || d.buffer >= f_.buffers.size()) continue;
      std::span<const uint8_t> data = f_.buffers[d.buffer];
      if (data.empty()) continue;
      size_t n = elements(static_cast<int>(i));
      std::vector<uint8_t> dense;
      if (d.sparsity) {
        size_t width = d.type == static_cast<int>(ElementType::Float16) ? 2 : 4;
        auto r = densify(*d.sparsity, d.shape, data, width);
        if (!r) return fail("constant " + d.name + ": " + r.message());
        dense = std::move(r.value());
        data = dense;
      }
      auto sizeError = [&] { return fail("constant " + d.name + " does not match its shape"); };
      switch (static_cast<ElementType>(d.type)) {
        case ElementType::Float32: {
          if (data.size() != n * 4) return sizeError();
          std::vector<float> v(n);
          std::memcpy(v.data(), data.data(), n * 4);
          m_.constants[static_cast<int>(i)] = std::make_shared<std::vector<float>>(std::move(v));
          break;
        }
        case ElementType::Float16: {
          if (data.size() != n * 2) return sizeError();
          std::vector<float> v(n);
          for (size_t k = 0; k < n; ++k) {
            uint16_t h;
            std::memcpy(&h, data.data() + 2 * k, 2);
            v[k] = halfToFloat(h);
          }
          m_.constants[static_cast<int>(i)] = std::make_shared<std::vector<float>>(std::move(v));
          break;
        }
        case ElementType::Int32: {
          if (data.size() != n * 4) return sizeError();
          std::vector<int32_t> v(n);
          std::memcpy(v.data(), data.data(), n * 4);
          m_.intConstants[static_cast<int>(i)] = std::move(v);
          break;
        }
        default:
          return fail("constant " + d.name + " has an unsupported element type " +
                      std::to_string(d.type));
      }
    }
    return Status::ok();
  }

  bool isConst(int t) const { return m_.constants.count(t) || m_.intConstants.count(t); }

  // Splits the operators into stages: runs of XNNPACK operators, and single host operators.
  Status plan() {
    int current = -1;
    bool currentIsHost = true;
    for (size_t i = 0; i < f_.operators.size(); ++i) {
      const OperatorDesc& op = f_.operators[i];
      if (!live_[i]) continue;
      OpKind kind;
      if (op.code == op::kDequantize || op.code == op::kDensify) {
        // Half-precision weights are widened at load; the operator itself disappears.
        if (op.inputs.empty() || op.inputs[0] < 0 || !m_.constants.count(op.inputs[0]))
          return fail(operatorName(op.code) + " of a non-constant tensor is not supported");
        m_.constants[op.outputs[0]] = m_.constants[op.inputs[0]];
        if (m_.constants[op.outputs[0]]->size() != elements(op.outputs[0]))
          return fail(operatorName(op.code) + " changes the size of " +
                      f_.tensors[op.outputs[0]].name);
        kind = OpKind::Fold;
      } else if (op.code == op::kConcatenation || op.code == op::kCustom ||
                 op.code == op::kStridedSlice) {
        kind = OpKind::Host;
      } else if (supportedXnn(op.code)) {
        kind = OpKind::Xnn;
      } else {
        return fail("unsupported operator " + operatorName(op.code));
      }
      if (kind == OpKind::Fold) continue;
      for (int t : op.inputs)
        if (t >= 0 && !isConst(t) && !producer_.count(t) && !isModelInput(t))
          return fail("operator " + operatorName(op.code) + " reads tensor " + f_.tensors[t].name +
                      " before it is written");
      if (kind == OpKind::Host || currentIsHost) {
        stageOps_.emplace_back();
        stageIsHost_.push_back(kind == OpKind::Host);
        current = static_cast<int>(stageOps_.size()) - 1;
      }
      currentIsHost = kind == OpKind::Host;
      stageOps_[current].push_back(i);
      for (int t : op.inputs)
        if (t >= 0) consumers_[t].insert(current);
      for (int t : op.outputs) {
        if (producer_.count(t) || isConst(t) || isModelInput(t))
          return fail("tensor " + f_.tensors[t].name + " is written twice");
        producer_[t] = current;
      }
    }
    for (int t : outputs_)
      if (!producer_.count(t) && !isModelInput(t))
        return fail("output " + f_.tensors[t].name + " is never computed");
    for (int t : f_.inputs)
      if (f_.tensors[t].type != static_cast<int>(ElementType::Float32))
        return fail("input " + f_.tensors[t].name + " is not float");
    return Status::ok();
  }

  // Convolution and fully connected nodes copy their weights and biases into XNNPACK's own
  // packed layout when the runtime is built; a constant used only there need not be kept.
  void releasePackedWeights() {
    std::map<const std::vector<float>*, bool> packedOnly;
    for (size_t i = 0; i < f_.operators.size(); ++i) {
      const OperatorDesc& op = f_.operators[i];
      if (!live_[i] || op.code == op::kDequantize || op.code == op::kDensify) continue;
      const bool packs = op.code == op::kConv2d || op.code == op::kDepthwiseConv2d ||
                         op.code == op::kFullyConnected || op.code == op::kTransposeConv;
      for (size_t k = 0; k < op.inputs.size(); ++k) {
        auto it = m_.constants.find(op.inputs[k]);
        if (it == m_.constants.end()) continue;
        const bool weight = packs && (op.code == op::kTransposeConv ? k == 1 || k == 3 : k >= 1);
        auto [slot, fresh] = packedOnly.emplace(it->second.get(), weight);
        if (!fresh) slot->second = slot->second && weight;
      }
    }
    // A constant no running operator reads (it fed a pruned head) is not needed either.
    for (auto& [t, values] : m_.constants) {
      auto it = packedOnly.find(values.get());
      if ((it == packedOnly.end() || it->second) && !isModelOutput(t))
        std::vector<float>().swap(*values);
    }
  }

  bool isModelInput(int t) const {
    return std::find(f_.inputs.begin(), f_.inputs.end(), t) != f_.inputs.end();
  }
  bool isModelOutput(int t) const {
    return std::find(outputs_.begin(), outputs_.end(), t) != outputs_.end();
  }

  static bool supportedXnn(int code) {
    switch (code) {
      case op::kAdd:
      case op::kSub:
      case op::kMul:
      case op::kDiv:
      case op::kConv2d:
      case op::kDepthwiseConv2d:
      case op::kFullyConnected:
      case op::kLogistic:
      case op::kMaxPool2d:
      case op::kAveragePool2d:
      case op::kRelu:
      case op::kRelu6:
      case op::kReluN1To1:
      case op::kReshape:
      case op::kSqueeze:
      case op::kResizeBilinear:
      case op::kPad:
      case op::kMean:
      case op::kPrelu:
      case op::kTransposeConv:
      case op::kHardSwish:
      case op::kDepthToSpace:
        return true;
      default:
        return false;
    }
  }

  // A tensor needs a host buffer when it crosses between stages or is a model input/output.
  bool crossesStages(int t) const {
    if (isConst(t)) return false;
    if (isModelInput(t) || isModelOutput(t)) return true;
    auto p = producer_.find(t);
    auto c = consumers_.find(t);
    if (p == producer_.end() || c == consumers_.end()) return false;
    return std::any_of(c->second.begin(), c->second.end(), [&](int s) { return s != p->second; });
  }

  void allocateBuffers() {
    for (size_t t = 0; t < f_.tensors.size(); ++t)
      if (crossesStages(static_cast<int>(t)))
        m_.buffers[static_cast<int>(t)].assign(elements(static_cast<int>(t)) + kPadFloats, 0.f);
  }

  HostInput hostInput(int t) {
    const float* p = m_.constants.count(t) ? m_.constants[t]->data() : m_.buffers[t].data();
    return {p, {f_.tensors[t].shape}};
  }

  Status buildHost(size_t opIndex) {
    const OperatorDesc& op = f_.operators[opIndex];
    std::vector<HostInput> ins;
    for (int t : op.inputs) {
      if (t < 0 || m_.intConstants.count(t)) continue;
      ins.push_back(hostInput(t));
    }
    std::vector<HostOutput> outs;
    for (int t : op.outputs) outs.push_back({m_.buffers[t].data(), {f_.tensors[t].shape}});
    Result<HostKernel> k = Status::failure("");
    if (op.code == op::kStridedSlice) {
      if (op.inputs.size() != 4) return fail("STRIDED_SLICE needs begin, end and strides");
      std::vector<int> begin = intConst(op.inputs[1]), end = intConst(op.inputs[2]),
                       strides = intConst(op.inputs[3]);
      StridedSliceParams p;
      p.begin = begin;
      p.end = end;
      p.strides = strides;
      if (op.options) {
        p.beginMask = op.options->scalar<int32_t>(0);
        p.endMask = op.options->scalar<int32_t>(1);
        p.ellipsisMask = op.options->scalar<int32_t>(2);
        p.newAxisMask = op.options->scalar<int32_t>(3);
        p.shrinkAxisMask = op.options->scalar<int32_t>(4);
        p.offset = op.options->scalar<uint8_t>(5) != 0;
      }
      if (m_.intConstants.count(op.inputs[0])) return fail("STRIDED_SLICE of an integer tensor");
      k = makeStridedSlice(p, hostInput(op.inputs[0]), outs.front());
    } else if (op.code == op::kConcatenation) {
      int axis = op.options ? op.options->scalar<int32_t>(0) : 0;
      int act = op.options ? op.options->scalar<int8_t>(1) : 0;
      if (act != 0) return fail("CONCATENATION with a fused activation is not supported");
      k = makeConcatenation(axis, std::move(ins), outs.front());
    } else {
      k = makeCustomKernel(op.customCode, op.customOptions, std::move(ins), std::move(outs));
    }
    if (!k) return fail(k.message());
    m_.stages.emplace_back(HostStage{std::move(k.value())});
    return Status::ok();
  }

  // ---- XNNPACK stage ----

  struct Segment {
    xnn_subgraph_t sg = nullptr;
    std::map<int, uint32_t> ids;       // tensor index -> value id
    std::map<int, uint32_t> external;  // tensor index -> external id
  };

  Status check(xnn_status s, const OperatorDesc& op, const char* what) const {
    if (s == xnn_status_success) return Status::ok();
    return fail(std::string("XNNPACK rejected ") + what + " of " + operatorName(op.code) +
                " (status " + std::to_string(static_cast<int>(s)) + ")");
  }

  // Defines a value for tensor `t` with explicit dims (or its own shape), once per segment.
  Result<uint32_t> value(Segment& seg, int t, const std::vector<size_t>* dimsOverride = nullptr) {
    if (!dimsOverride) {
      auto it = seg.ids.find(t);
      if (it != seg.ids.end()) return it->second;
    }
    std::vector<size_t> dims;
    if (dimsOverride) {
      dims = *dimsOverride;
    } else {
      for (int d : f_.tensors[t].shape) dims.push_back(static_cast<size_t>(d));
    }
    const void* data = nullptr;
    uint32_t ext = XNN_INVALID_VALUE_ID;
    uint32_t flags = 0;
    if (m_.constants.count(t)) {
      data = m_.constants[t]->data();
    } else if (m_.intConstants.count(t)) {
      return fail("tensor " + f_.tensors[t].name + " is integer where float is needed");
    } else if (f_.tensors[t].type != static_cast<int>(ElementType::Float32)) {
      return fail("tensor " + f_.tensors[t].name + " is not float");
    } else if (m_.buffers.count(t)) {
      ext = seg.external.at(t);
      flags = producer_.count(t) && stageOf(t) == currentStage_ ? XNN_VALUE_FLAG_EXTERNAL_OUTPUT
                                                                : XNN_VALUE_FLAG_EXTERNAL_INPUT;
    }
    uint32_t id = 0;
    if (xnn_define_tensor_value(seg.sg, xnn_datatype_fp32, dims.size(), dims.data(), data, ext,
                                flags, &id) != xnn_status_success)
      return fail("XNNPACK rejected tensor " + f_.tensors[t].name);
    if (!dimsOverride) seg.ids[t] = id;
    return id;
  }

  // XNNPACK ids of a weighted node's data, weights and optional bias (an absent bias, tensor
  // index below 0, is XNN_INVALID_VALUE_ID), defined in that order.
  struct WeightedInputs {
    uint32_t data, weights, bias;
  };
  Result<WeightedInputs> weightedInputs(Segment& seg, int data, int weights, int bias) {
    auto xi = value(seg, data);
    if (!xi) return xi.status();
    auto wi = value(seg, weights);
    if (!wi) return wi.status();
    uint32_t bi = XNN_INVALID_VALUE_ID;
    if (bias >= 0) {
      auto b = value(seg, bias);
      if (!b) return b.status();
      bi = *b;
    }
    return WeightedInputs{*xi, *wi, bi};
  }

  int stageOf(int t) const { return producer_.at(t); }

  Result<uint32_t> temp(Segment& seg, const std::vector<size_t>& dims) {
    uint32_t id = 0;
    if (xnn_define_tensor_value(seg.sg, xnn_datatype_fp32, dims.size(), dims.data(), nullptr,
                                XNN_INVALID_VALUE_ID, 0, &id) != xnn_status_success)
      return fail("XNNPACK rejected an intermediate tensor");
    return id;
  }

  Status buildXnn(const std::vector<size_t>& ops) {
    currentStage_ = static_cast<int>(m_.stages.size());
    Segment seg;
    // External values: every buffered tensor this stage reads or writes.
    std::vector<int> externals;
    for (size_t i : ops) {
      for (int t : f_.operators[i].inputs)
        if (t >= 0 && m_.buffers.count(t)) externals.push_back(t);
      for (int t : f_.operators[i].outputs)
        if (m_.buffers.count(t)) externals.push_back(t);
    }
    std::sort(externals.begin(), externals.end());
    externals.erase(std::unique(externals.begin(), externals.end()), externals.end());
    for (size_t k = 0; k < externals.size(); ++k)
      seg.external[externals[k]] = static_cast<uint32_t>(k);

    if (xnn_create_subgraph(static_cast<uint32_t>(externals.size()), 0, &seg.sg) !=
        xnn_status_success)
      return fail("could not create an XNNPACK subgraph");
    SubgraphPtr owner(seg.sg);
    for (size_t i : ops)
      if (Status s = defineOp(seg, f_.operators[i]); !s) return s;

    xnn_runtime_t rt = nullptr;
    xnn_status st = xnn_create_runtime_v2(seg.sg, m_.pool.get(), 0, &rt);
    if (st != xnn_status_success)
      return fail("XNNPACK could not build a runtime (status " +
                  std::to_string(static_cast<int>(st)) + ")");
    RuntimePtr runtime(rt);
    std::vector<xnn_external_value> ev;
    for (int t : externals) ev.push_back({seg.external[t], m_.buffers[t].data()});
    st = xnn_setup_runtime(rt, ev.size(), ev.data());
    if (st != xnn_status_success)
      return fail("XNNPACK could not set up a runtime (status " +
                  std::to_string(static_cast<int>(st)) + ")");
    m_.stages.emplace_back(XnnStage{std::move(runtime)});
    return Status::ok();
  }

  std::vector<int> intConst(int t) {
    auto it = m_.intConstants.find(t);
    if (it == m_.intConstants.end()) return {};
    return {it->second.begin(), it->second.end()};
  }

  Status defineOp(Segment& seg, const OperatorDesc& op) {
    const auto& opt = op.options;
    auto in = [&](size_t k) -> int { return k < op.inputs.size() ? op.inputs[k] : -1; };
    const int out = op.outputs[0];
    const auto& outShape = f_.tensors[out].shape;
    auto need = [&](size_t n) { return op.inputs.size() >= n && in(0) >= 0; };
    if (!need(1)) return fail(operatorName(op.code) + " has no input");
    auto bad = [&](const std::string& why) { return fail(operatorName(op.code) + ": " + why); };
    bool actOk = true;

    switch (op.code) {
      case op::kConv2d:
      case op::kDepthwiseConv2d: {
        if (!need(2) || in(1) < 0 || !m_.constants.count(in(1)))
          return bad("weights must be constant");
        const bool dw = op.code == op::kDepthwiseConv2d;
        const auto& w = f_.tensors[in(1)].shape;
        const auto& x = f_.tensors[in(0)].shape;
        if (w.size() != 4 || x.size() != 4 || outShape.size() != 4)
          return bad("expects 4-D tensors");
        int padding = opt ? opt->scalar<int8_t>(0) : 0;
        uint32_t sw = opt ? opt->scalar<int32_t>(1, 1) : 1,
                 sh = opt ? opt->scalar<int32_t>(2, 1) : 1;
        int actField = dw ? 4 : 3;
        uint32_t dwf = opt ? opt->scalar<int32_t>(dw ? 5 : 4, 1) : 1;
        uint32_t dhf = opt ? opt->scalar<int32_t>(dw ? 6 : 5, 1) : 1;
        auto [lo, hi] = activationRange(opt ? opt->scalar<int8_t>(actField) : 0, &actOk);
        if (!actOk) return bad("unsupported fused activation");
        uint32_t flags = padding == 0 ? XNN_FLAG_TENSORFLOW_SAME_PADDING : 0;
        auto ins = weightedInputs(seg, in(0), in(1), in(2));
        if (!ins) return ins.status();
        const uint32_t xi = ins->data, wi = ins->weights, bi = ins->bias;
        auto oi = value(seg, out);
        if (!oi) return oi.status();
        if (dw) {
          int cin = x[3];
          int mult = cin > 0 ? w[3] / cin : 0;
          if (mult <= 0 || mult * cin != w[3]) return bad("channel count mismatch");
          return check(
              xnn_define_depthwise_convolution_2d(seg.sg, 0, 0, 0, 0, w[1], w[2], sh, sw, dhf, dwf,
                                                  mult, cin, lo, hi, xi, wi, bi, *oi, flags),
              op, "the node");
        }
        if (w[3] != x[3]) return bad("channel count mismatch");
        return check(xnn_define_convolution_2d(seg.sg, 0, 0, 0, 0, w[1], w[2], sh, sw, dhf, dwf, 1,
                                               w[3], w[0], lo, hi, xi, wi, bi, *oi, flags),
                     op, "the node");
      }
      case op::kTransposeConv: {
        // Inputs: output shape, weights, data, optional bias.
        if (!need(3) || in(1) < 0 || !m_.constants.count(in(1)))
          return bad("weights must be constant");
        const auto& w = f_.tensors[in(1)].shape;
        const auto& x = f_.tensors[in(2)].shape;
        if (w.size() != 4 || x.size() != 4 || outShape.size() != 4)
          return bad("expects 4-D tensors");
        int padding = opt ? opt->scalar<int8_t>(0) : 0;
        int sw = opt ? opt->scalar<int32_t>(1, 1) : 1, sh = opt ? opt->scalar<int32_t>(2, 1) : 1;
        auto pads = [&](int inSize, int k, int s, int outSize, uint32_t* a, uint32_t* b,
                        uint32_t* adj) {
          int full = (inSize - 1) * s + k;
          int total = padding == 0 ? std::max(full - outSize, 0) : 0;
          *a = static_cast<uint32_t>(total / 2);
          *b = static_cast<uint32_t>(total - total / 2);
          int rest = outSize - (full - total);
          if (rest < 0 || rest >= s) return false;
          *adj = static_cast<uint32_t>(rest);
          return true;
        };
        uint32_t pt, pb, pl, pr, ah, aw;
        if (!pads(x[1], w[1], sh, outShape[1], &pt, &pb, &ah) ||
            !pads(x[2], w[2], sw, outShape[2], &pl, &pr, &aw))
          return bad("output size does not follow from the input");
        auto ins = weightedInputs(seg, in(2), in(1), in(3));
        if (!ins) return ins.status();
        const uint32_t xi = ins->data, wi = ins->weights, bi = ins->bias;
        auto oi = value(seg, out);
        if (!oi) return oi.status();
        constexpr float inf = std::numeric_limits<float>::infinity();
        return check(
            xnn_define_deconvolution_2d(seg.sg, pt, pr, pb, pl, ah, aw, w[1], w[2], sh, sw, 1, 1, 1,
                                        w[3], w[0], -inf, inf, xi, wi, bi, *oi, 0),
            op, "the node");
      }
      case op::kFullyConnected: {
        if (!need(2) || in(1) < 0 || !m_.constants.count(in(1)))
          return bad("weights must be constant");
        auto [lo, hi] = activationRange(opt ? opt->scalar<int8_t>(0) : 0, &actOk);
        if (!actOk) return bad("unsupported fused activation");
        const auto& w = f_.tensors[in(1)].shape;
        if (w.size() != 2) return bad("weights must be 2-D");
        auto ins = weightedInputs(seg, in(0), in(1), in(2));
        if (!ins) return ins.status();
        const uint32_t xi = ins->data, wi = ins->weights, bi = ins->bias;
        size_t batch = elements(in(0)) / static_cast<size_t>(w[1]);
        std::vector<size_t> flat{batch, static_cast<size_t>(w[0])};
        uint32_t flags = f_.tensors[in(0)].shape.size() != 2 ? XNN_FLAG_TENSORFLOW_RESHAPE_2D : 0;
        if (outShape.size() == 2) {
          auto oi = value(seg, out);
          if (!oi) return oi.status();
          return check(xnn_define_fully_connected(seg.sg, lo, hi, xi, wi, bi, *oi, flags), op,
                       "the node");
        }
        auto ti = temp(seg, flat);
        auto oi = value(seg, out);
        if (!ti) return ti.status();
        if (!oi) return oi.status();
        if (Status s = check(xnn_define_fully_connected(seg.sg, lo, hi, xi, wi, bi, *ti, flags), op,
                             "the node");
            !s)
          return s;
        std::vector<size_t> dims(outShape.begin(), outShape.end());
        return check(xnn_define_static_reshape(seg.sg, dims.size(), dims.data(), *ti, *oi, 0), op,
                     "the reshape");
      }
      case op::kAdd:
      case op::kSub:
      case op::kMul:
      case op::kDiv: {
        if (!need(2) || in(1) < 0) return bad("needs two inputs");
        auto [lo, hi] = activationRange(opt ? opt->scalar<int8_t>(0) : 0, &actOk);
        if (!actOk) return bad("unsupported fused activation");
        auto a = value(seg, in(0));
        auto b = value(seg, in(1));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!b) return b.status();
        if (!o) return o.status();
        xnn_status s = op.code == op::kAdd   ? xnn_define_add2(seg.sg, lo, hi, *a, *b, *o, 0)
                       : op.code == op::kSub ? xnn_define_subtract(seg.sg, lo, hi, *a, *b, *o, 0)
                       : op.code == op::kMul ? xnn_define_multiply2(seg.sg, lo, hi, *a, *b, *o, 0)
                                             : xnn_define_divide(seg.sg, lo, hi, *a, *b, *o, 0);
        return check(s, op, "the node");
      }
      case op::kMaxPool2d:
      case op::kAveragePool2d: {
        if (!opt) return bad("missing options");
        int padding = opt->scalar<int8_t>(0);
        uint32_t sw = opt->scalar<int32_t>(1, 1), sh = opt->scalar<int32_t>(2, 1);
        uint32_t fw = opt->scalar<int32_t>(3, 1), fh = opt->scalar<int32_t>(4, 1);
        auto [lo, hi] = activationRange(opt->scalar<int8_t>(5), &actOk);
        if (!actOk) return bad("unsupported fused activation");
        uint32_t flags = padding == 0 ? XNN_FLAG_TENSORFLOW_SAME_PADDING : 0;
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        if (op.code == op::kMaxPool2d)
          return check(xnn_define_max_pooling_2d(seg.sg, 0, 0, 0, 0, fh, fw, sh, sw, 1, 1, lo, hi,
                                                 *a, *o, flags),
                       op, "the node");
        return check(xnn_define_average_pooling_2d(seg.sg, 0, 0, 0, 0, fh, fw, sh, sw, lo, hi, *a,
                                                   *o, flags),
                     op, "the node");
      }
      case op::kRelu:
      case op::kRelu6:
      case op::kReluN1To1: {
        float lo = op.code == op::kReluN1To1 ? -1.f : 0.f;
        float hi = op.code == op::kRelu    ? std::numeric_limits<float>::infinity()
                   : op.code == op::kRelu6 ? 6.f
                                           : 1.f;
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        return check(xnn_define_clamp(seg.sg, lo, hi, *a, *o, 0), op, "the node");
      }
      case op::kLogistic:
      case op::kHardSwish: {
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        return check(op.code == op::kLogistic ? xnn_define_sigmoid(seg.sg, *a, *o, 0)
                                              : xnn_define_hardswish(seg.sg, *a, *o, 0),
                     op, "the node");
      }
      case op::kPrelu: {
        if (!need(2) || in(1) < 0 || !m_.constants.count(in(1)))
          return bad("slopes must be constant");
        // XNNPACK wants the slopes as a 1-D per-channel vector.
        std::vector<size_t> slopeDims{elements(in(1))};
        const auto& x = f_.tensors[in(0)].shape;
        if (x.empty() || slopeDims[0] != static_cast<size_t>(x.back()))
          return bad("slopes must be per channel");
        auto a = value(seg, in(0));
        auto s = value(seg, in(1), &slopeDims);
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!s) return s.status();
        if (!o) return o.status();
        return check(xnn_define_prelu(seg.sg, *a, *s, *o, 0), op, "the node");
      }
      case op::kReshape:
      case op::kSqueeze: {
        if (elements(in(0)) != elements(out)) return bad("changes the element count");
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        std::vector<size_t> dims(outShape.begin(), outShape.end());
        return check(xnn_define_static_reshape(seg.sg, dims.size(), dims.data(), *a, *o, 0), op,
                     "the node");
      }
      case op::kPad: {
        std::vector<int> p = intConst(in(1));
        const auto& x = f_.tensors[in(0)].shape;
        if (p.size() != 2 * x.size()) return bad("paddings must be constant, two per dimension");
        std::vector<size_t> pre, post;
        for (size_t d = 0; d < x.size(); ++d) {
          if (p[2 * d] < 0 || p[2 * d + 1] < 0) return bad("negative padding");
          pre.push_back(static_cast<size_t>(p[2 * d]));
          post.push_back(static_cast<size_t>(p[2 * d + 1]));
        }
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        return check(
            xnn_define_static_constant_pad(seg.sg, pre.data(), post.data(), 0.f, *a, *o, 0), op,
            "the node");
      }
      case op::kMean: {
        std::vector<int> axes = intConst(in(1));
        std::sort(axes.begin(), axes.end());
        const auto& x = f_.tensors[in(0)].shape;
        if (x.size() != 4 || axes != std::vector<int>{1, 2})
          return bad("only the spatial mean of a 4-D tensor is supported");
        constexpr float inf = std::numeric_limits<float>::infinity();
        std::vector<size_t> pooled{static_cast<size_t>(x[0]), 1, 1, static_cast<size_t>(x[3])};
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        if (outShape.size() == 4)
          return check(xnn_define_global_average_pooling_2d(seg.sg, -inf, inf, *a, *o, 0), op,
                       "the node");
        auto t = temp(seg, pooled);
        if (!t) return t.status();
        if (Status s = check(xnn_define_global_average_pooling_2d(seg.sg, -inf, inf, *a, *t, 0), op,
                             "the node");
            !s)
          return s;
        std::vector<size_t> dims(outShape.begin(), outShape.end());
        return check(xnn_define_static_reshape(seg.sg, dims.size(), dims.data(), *t, *o, 0), op,
                     "the reshape");
      }
      case op::kDepthToSpace: {
        uint32_t block = opt ? opt->scalar<int32_t>(0) : 0;
        if (block < 2) return bad("block size must be at least 2");
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        return check(xnn_define_depth_to_space(seg.sg, *a, *o, block, 0), op, "the node");
      }
      case op::kResizeBilinear: {
        if (outShape.size() != 4) return bad("expects 4-D tensors");
        bool align = opt && opt->scalar<uint8_t>(2) != 0;
        bool halfPixel = opt && opt->scalar<uint8_t>(3) != 0;
        uint32_t flags = align       ? XNN_FLAG_ALIGN_CORNERS
                         : halfPixel ? 0
                                     : XNN_FLAG_TENSORFLOW_LEGACY_MODE;
        auto a = value(seg, in(0));
        auto o = value(seg, out);
        if (!a) return a.status();
        if (!o) return o.status();
        return check(
            xnn_define_static_resize_bilinear_2d(seg.sg, outShape[1], outShape[2], *a, *o, flags),
            op, "the node");
      }
      default:
        return bad("unsupported");
    }
  }

  Model::Impl& m_;
  const ModelFile& f_;
  std::vector<std::vector<size_t>> stageOps_;
  std::vector<bool> stageIsHost_;
  std::map<int, int> producer_;
  std::map<int, std::set<int>> consumers_;
  std::vector<int> outputs_;
  std::vector<bool> live_;
  int currentStage_ = 0;
};

}  // namespace

Model::Model(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Model::~Model() = default;

Result<std::unique_ptr<Model>> Model::load(const std::string& path, int threads,
                                           const std::vector<std::string>& outputs) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Result<std::unique_ptr<Model>>::failure("cannot open model " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (in.bad()) return Result<std::unique_ptr<Model>>::failure("cannot read model " + path);
  return loadBytes(std::move(bytes), path, threads, outputs);
}

namespace {
Result<std::unique_ptr<Model>> build(std::vector<uint8_t> bytes, const std::string& name,
                                     int threads, const std::vector<std::string>& outputs);
}

Result<std::unique_ptr<Model>> Model::loadBytes(std::vector<uint8_t> bytes, const std::string& name,
                                                int threads,
                                                const std::vector<std::string>& outputs) {
  // A damaged file can still ask for more memory than there is; that is a load failure too.
  try {
    return build(std::move(bytes), name, threads, outputs);
  } catch (const std::bad_alloc&) {
    return Result<std::unique_ptr<Model>>::failure(name + ": not enough memory to load the model");
  } catch (const std::length_error&) {
    return Result<std::unique_ptr<Model>>::failure(name + ": model asks for an impossible size");
  }
}

namespace {
Result<std::unique_ptr<Model>> build(std::vector<uint8_t> bytes, const std::string& name,
                                     int threads, const std::vector<std::string>& outputs) {
  using R = Result<std::unique_ptr<Model>>;
  if (xnn_initialize(nullptr) != xnn_status_success)
    return R::failure("XNNPACK cannot run on this processor");
  auto impl = std::make_unique<Model::Impl>();
  impl->name = name;
  impl->bytes = std::move(bytes);
  if (threads > 1) {
    impl->pool.reset(pthreadpool_create(static_cast<size_t>(threads)));
    if (!impl->pool) return R::failure(name + ": cannot start worker threads");
  }
  FlatFile file(impl->bytes);
  Result<ModelFile> parsed = ModelFile::parse(file);
  if (!parsed) return R::failure(name + ": " + parsed.message());
  Builder builder(*impl, *parsed);
  if (Status s = builder.build(outputs); !s) return R::failure(s.message());
  if (file.malformed()) return R::failure(name + ": model file is damaged or truncated");
  // Everything the model needs has been copied out of the file by now.
  std::vector<uint8_t>().swap(impl->bytes);
  return Model::fromImpl(std::move(impl));
}
}  // namespace

std::unique_ptr<Model> Model::fromImpl(std::unique_ptr<Impl> impl) {
  return std::unique_ptr<Model>(new Model(std::move(impl)));
}

size_t Model::inputCount() const { return impl_->inputPtrs.size(); }
const TensorShape& Model::inputShape(size_t i) const { return impl_->inputShapes.at(i); }
float* Model::input(size_t i) { return impl_->inputPtrs.at(i); }
size_t Model::outputCount() const { return impl_->outputPtrs.size(); }
const TensorShape& Model::outputShape(size_t i) const { return impl_->outputShapes.at(i); }
const float* Model::output(size_t i) const { return impl_->outputPtrs.at(i); }
const std::string& Model::outputName(size_t i) const { return impl_->outputNames.at(i); }

std::optional<size_t> Model::outputIndex(std::string_view tensorName) const {
  for (size_t i = 0; i < impl_->outputNames.size(); ++i)
    if (impl_->outputNames[i] == tensorName) return i;
  return std::nullopt;
}

Status Model::invoke() {
  for (auto& stage : impl_->stages) {
    if (auto* x = std::get_if<XnnStage>(&stage)) {
      xnn_status s = xnn_invoke_runtime(x->runtime.get());
      if (s != xnn_status_success)
        return Status::failure(impl_->name + ": XNNPACK failed to run (status " +
                               std::to_string(static_cast<int>(s)) + ")");
    } else if (Status s = std::get<HostStage>(stage).kernel(); !s) {
      return Status::failure(impl_->name + ": " + s.message());
    }
  }
  return Status::ok();
}

}  // namespace talvex::vision::tflite
