#include <algorithm>

#include "platform/vision/tflite/model_build.h"
#include "platform/vision/tflite/xnn_ops.h"
#include "platform/vision/tflite/xnn_segment.h"

namespace talvex::vision::tflite {
namespace {

struct SubgraphDeleter {
  void operator()(xnn_subgraph_t s) const { xnn_delete_subgraph(s); }
};
using SubgraphPtr = std::unique_ptr<xnn_subgraph, SubgraphDeleter>;

// Every buffered tensor the stage's operators read or write, sorted, each once.
std::vector<int> externalTensors(const BuildContext& ctx, const std::vector<size_t>& opIndices) {
  std::vector<int> externals;
  for (size_t i : opIndices) {
    for (int t : ctx.file.operators[i].inputs)
      if (t >= 0 && ctx.model.buffers.count(t)) externals.push_back(t);
    for (int t : ctx.file.operators[i].outputs)
      if (ctx.model.buffers.count(t)) externals.push_back(t);
  }
  std::sort(externals.begin(), externals.end());
  externals.erase(std::unique(externals.begin(), externals.end()), externals.end());
  return externals;
}

Status runtimeFailure(const BuildContext& ctx, const char* what, xnn_status st) {
  return ctx.fail(std::string("XNNPACK could not ") + what + " (status " +
                  std::to_string(static_cast<int>(st)) + ")");
}

}  // namespace

Result<uint32_t> XnnSegment::value(int t, const std::vector<size_t>* dims) {
  if (!dims) {
    auto it = ids_.find(t);
    if (it != ids_.end()) return it->second;
  }
  const TensorDesc& desc = ctx_.file.tensors[t];
  const std::vector<size_t> shapeDims =
      dims ? *dims : std::vector<size_t>(desc.shape.begin(), desc.shape.end());
  const void* data = nullptr;
  uint32_t ext = XNN_INVALID_VALUE_ID;
  uint32_t flags = 0;
  if (ctx_.model.constants.count(t)) {
    data = ctx_.model.constants[t]->data();
  } else if (ctx_.model.intConstants.count(t)) {
    return ctx_.fail("tensor " + desc.name + " is integer where float is needed");
  } else if (desc.type != static_cast<int>(ElementType::Float32)) {
    return ctx_.fail("tensor " + desc.name + " is not float");
  } else if (ctx_.model.buffers.count(t)) {
    ext = external_.at(t);
    auto producer = ctx_.plan.producer.find(t);
    flags = producer != ctx_.plan.producer.end() && producer->second == stage_
                ? XNN_VALUE_FLAG_EXTERNAL_OUTPUT
                : XNN_VALUE_FLAG_EXTERNAL_INPUT;
  }
  uint32_t id = 0;
  if (xnn_define_tensor_value(subgraph_, xnn_datatype_fp32, shapeDims.size(), shapeDims.data(),
                              data, ext, flags, &id) != xnn_status_success)
    return ctx_.fail("XNNPACK rejected tensor " + desc.name);
  if (!dims) ids_[t] = id;
  return id;
}

Result<uint32_t> XnnSegment::temp(const std::vector<size_t>& dims) {
  uint32_t id = 0;
  if (xnn_define_tensor_value(subgraph_, xnn_datatype_fp32, dims.size(), dims.data(), nullptr,
                              XNN_INVALID_VALUE_ID, 0, &id) != xnn_status_success)
    return ctx_.fail("XNNPACK rejected an intermediate tensor");
  return id;
}

Result<XnnSegment::InOut> XnnSegment::inOut(int in, int out) {
  auto a = value(in);
  auto o = value(out);
  if (!a) return a.status();
  if (!o) return o.status();
  return InOut{*a, *o};
}

Result<XnnSegment::WeightedInputs> XnnSegment::weightedInputs(int data, int weights, int bias) {
  auto xi = value(data);
  if (!xi) return xi.status();
  auto wi = value(weights);
  if (!wi) return wi.status();
  uint32_t bi = XNN_INVALID_VALUE_ID;
  if (bias >= 0) {
    auto b = value(bias);
    if (!b) return b.status();
    bi = *b;
  }
  return WeightedInputs{*xi, *wi, bi};
}

Status XnnSegment::check(xnn_status s, const OperatorDesc& op, const char* what) const {
  if (s == xnn_status_success) return Status::ok();
  return ctx_.fail(std::string("XNNPACK rejected ") + what + " of " + operatorName(op.code) +
                   " (status " + std::to_string(static_cast<int>(s)) + ")");
}

Status buildXnnStage(BuildContext& ctx, const std::vector<size_t>& opIndices) {
  const std::vector<int> externals = externalTensors(ctx, opIndices);
  std::map<int, uint32_t> externalIds;
  for (size_t k = 0; k < externals.size(); ++k)
    externalIds[externals[k]] = static_cast<uint32_t>(k);

  xnn_subgraph_t sg = nullptr;
  if (xnn_create_subgraph(static_cast<uint32_t>(externals.size()), 0, &sg) != xnn_status_success)
    return ctx.fail("could not create an XNNPACK subgraph");
  SubgraphPtr owner(sg);
  XnnSegment seg(ctx, sg, externalIds, static_cast<int>(ctx.model.stages.size()));
  for (size_t i : opIndices)
    if (Status s = defineXnnOp(seg, ctx.file.operators[i]); !s) return s;

  xnn_runtime_t rt = nullptr;
  if (xnn_status st = xnn_create_runtime_v2(sg, ctx.model.pool.get(), 0, &rt);
      st != xnn_status_success)
    return runtimeFailure(ctx, "build a runtime", st);
  RuntimePtr runtime(rt);
  std::vector<xnn_external_value> ev;
  for (int t : externals) ev.push_back({externalIds[t], ctx.model.buffers[t].data()});
  if (xnn_status st = xnn_setup_runtime(rt, ev.size(), ev.data()); st != xnn_status_success)
    return runtimeFailure(ctx, "set up a runtime", st);
  ctx.model.stages.emplace_back(XnnStage{std::move(runtime)});
  return Status::ok();
}

}  // namespace talvex::vision::tflite
