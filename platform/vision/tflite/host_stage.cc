#include "platform/vision/tflite/model_build.h"

namespace talvex::vision::tflite {
namespace {

// The helpers below fail without the model's name; buildHostStage adds it once.

HostInput hostInput(BuildContext& ctx, int t) {
  auto& m = ctx.model;
  const float* p = m.constants.count(t) ? m.constants[t]->data() : m.buffers[t].data();
  return {p, {ctx.file.tensors[t].shape}};
}

Result<HostKernel> stridedSlice(BuildContext& ctx, const OperatorDesc& op, HostOutput out) {
  if (op.inputs.size() != 4)
    return Result<HostKernel>::failure("STRIDED_SLICE needs begin, end and strides");
  StridedSliceParams p;
  p.begin = ctx.intConst(op.inputs[1]);
  p.end = ctx.intConst(op.inputs[2]);
  p.strides = ctx.intConst(op.inputs[3]);
  if (const auto& o = op.options) {
    p.beginMask = o->scalar<int32_t>(0);
    p.endMask = o->scalar<int32_t>(1);
    p.ellipsisMask = o->scalar<int32_t>(2);
    p.newAxisMask = o->scalar<int32_t>(3);
    p.shrinkAxisMask = o->scalar<int32_t>(4);
    p.offset = o->scalar<uint8_t>(5) != 0;
  }
  if (ctx.model.intConstants.count(op.inputs[0]))
    return Result<HostKernel>::failure("STRIDED_SLICE of an integer tensor");
  return makeStridedSlice(p, hostInput(ctx, op.inputs[0]), out);
}

Result<HostKernel> concatenation(const OperatorDesc& op, std::vector<HostInput> ins,
                                 HostOutput out) {
  int axis = op.options ? op.options->scalar<int32_t>(0) : 0;
  int act = op.options ? op.options->scalar<int8_t>(1) : 0;
  if (act != 0)
    return Result<HostKernel>::failure("CONCATENATION with a fused activation is not supported");
  return makeConcatenation(axis, std::move(ins), out);
}

}  // namespace

Status buildHostStage(BuildContext& ctx, size_t opIndex) {
  const OperatorDesc& op = ctx.file.operators[opIndex];
  std::vector<HostInput> ins;
  for (int t : op.inputs) {
    if (t < 0 || ctx.model.intConstants.count(t)) continue;
    ins.push_back(hostInput(ctx, t));
  }
  std::vector<HostOutput> outs;
  for (int t : op.outputs)
    outs.push_back({ctx.model.buffers[t].data(), {ctx.file.tensors[t].shape}});
  Result<HostKernel> k =
      op.code == op::kStridedSlice ? stridedSlice(ctx, op, outs.front())
      : op.code == op::kConcatenation
          ? concatenation(op, std::move(ins), outs.front())
          : makeCustomKernel(op.customCode, op.customOptions, std::move(ins), std::move(outs));
  if (!k) return ctx.fail(k.message());
  ctx.model.stages.emplace_back(HostStage{std::move(k.value())});
  return Status::ok();
}

}  // namespace talvex::vision::tflite
