#include <algorithm>

#include "platform/vision/tflite/model_build.h"
#include "platform/vision/tflite/xnn_ops.h"

namespace talvex::vision::tflite {
namespace {

// XNNPACK may read a little past the end of its inputs.
constexpr size_t kPadFloats = 16;

enum class OpKind { Fold, Xnn, Host };

bool isFolded(int code) { return code == op::kDequantize || code == op::kDensify; }

// A folded operator's output shares its constant input's widened values.
Status fold(BuildContext& ctx, const OperatorDesc& op) {
  auto& constants = ctx.model.constants;
  if (op.inputs.empty() || op.inputs[0] < 0 || !constants.count(op.inputs[0]))
    return ctx.fail(operatorName(op.code) + " of a non-constant tensor is not supported");
  constants[op.outputs[0]] = constants[op.inputs[0]];
  if (constants[op.outputs[0]]->size() != ctx.elements(op.outputs[0]))
    return ctx.fail(operatorName(op.code) + " changes the size of " +
                    ctx.file.tensors[op.outputs[0]].name);
  return Status::ok();
}

Result<OpKind> classify(BuildContext& ctx, const OperatorDesc& op) {
  if (isFolded(op.code)) {
    // Half-precision weights are widened at load; the operator itself disappears.
    if (Status s = fold(ctx, op); !s) return s;
    return OpKind::Fold;
  }
  if (op.code == op::kConcatenation || op.code == op::kCustom || op.code == op::kStridedSlice)
    return OpKind::Host;
  if (xnnSupports(op.code)) return OpKind::Xnn;
  return ctx.fail("unsupported operator " + operatorName(op.code));
}

// Adds operator `i` to the current stage (or a new one) and records who writes and reads what.
Status place(BuildContext& ctx, size_t i, OpKind kind, bool& currentIsHost) {
  const OperatorDesc& op = ctx.file.operators[i];
  GraphPlan& plan = ctx.plan;
  for (int t : op.inputs)
    if (t >= 0 && !ctx.isConst(t) && !plan.producer.count(t) && !ctx.isModelInput(t))
      return ctx.fail("operator " + operatorName(op.code) + " reads tensor " +
                      ctx.file.tensors[t].name + " before it is written");
  if (kind == OpKind::Host || currentIsHost) {
    plan.stageOps.emplace_back();
    plan.stageIsHost.push_back(kind == OpKind::Host);
  }
  currentIsHost = kind == OpKind::Host;
  const int current = static_cast<int>(plan.stageOps.size()) - 1;
  plan.stageOps[current].push_back(i);
  for (int t : op.inputs)
    if (t >= 0) plan.consumers[t].insert(current);
  for (int t : op.outputs) {
    if (plan.producer.count(t) || ctx.isConst(t) || ctx.isModelInput(t))
      return ctx.fail("tensor " + ctx.file.tensors[t].name + " is written twice");
    plan.producer[t] = current;
  }
  return Status::ok();
}

// A tensor needs a host buffer when it crosses between stages or is a model input/output.
bool crossesStages(const BuildContext& ctx, int t) {
  if (ctx.isConst(t)) return false;
  if (ctx.isModelInput(t) || ctx.isModelOutput(t)) return true;
  auto p = ctx.plan.producer.find(t);
  auto c = ctx.plan.consumers.find(t);
  if (p == ctx.plan.producer.end() || c == ctx.plan.consumers.end()) return false;
  return std::any_of(c->second.begin(), c->second.end(), [&](int s) { return s != p->second; });
}

}  // namespace

bool BuildContext::isModelInput(int t) const {
  return std::find(file.inputs.begin(), file.inputs.end(), t) != file.inputs.end();
}

bool BuildContext::isModelOutput(int t) const {
  return std::find(plan.outputs.begin(), plan.outputs.end(), t) != plan.outputs.end();
}

std::vector<int> BuildContext::intConst(int t) const {
  auto it = model.intConstants.find(t);
  if (it == model.intConstants.end()) return {};
  return {it->second.begin(), it->second.end()};
}

// A model often carries heads a pipeline never reads (a segmentation mask, heatmaps); their
// operators are not run at all.
Status chooseOutputs(BuildContext& ctx, const std::vector<std::string>& wanted) {
  const ModelFile& f = ctx.file;
  for (const std::string& name : wanted) {
    auto named = [&](int t) { return f.tensors[t].name == name; };
    if (std::none_of(f.outputs.begin(), f.outputs.end(), named))
      return ctx.fail("has no output " + name);
  }
  for (int t : f.outputs)
    if (wanted.empty() ||
        std::find(wanted.begin(), wanted.end(), f.tensors[t].name) != wanted.end())
      ctx.plan.outputs.push_back(t);
  std::set<int> needed(ctx.plan.outputs.begin(), ctx.plan.outputs.end());
  ctx.plan.live.assign(f.operators.size(), false);
  for (size_t i = f.operators.size(); i-- > 0;) {
    const OperatorDesc& op = f.operators[i];
    if (std::none_of(op.outputs.begin(), op.outputs.end(),
                     [&](int t) { return needed.count(t) > 0; }))
      continue;
    ctx.plan.live[i] = true;
    for (int t : op.inputs)
      if (t >= 0) needed.insert(t);
  }
  return Status::ok();
}

Status planStages(BuildContext& ctx) {
  const ModelFile& f = ctx.file;
  bool currentIsHost = true;
  for (size_t i = 0; i < f.operators.size(); ++i) {
    if (!ctx.plan.live[i]) continue;
    Result<OpKind> kind = classify(ctx, f.operators[i]);
    if (!kind) return kind.status();
    if (*kind == OpKind::Fold) continue;
    if (Status s = place(ctx, i, *kind, currentIsHost); !s) return s;
  }
  for (int t : ctx.plan.outputs)
    if (!ctx.plan.producer.count(t) && !ctx.isModelInput(t))
      return ctx.fail("output " + f.tensors[t].name + " is never computed");
  for (int t : f.inputs)
    if (f.tensors[t].type != static_cast<int>(ElementType::Float32))
      return ctx.fail("input " + f.tensors[t].name + " is not float");
  return Status::ok();
}

void allocateBuffers(BuildContext& ctx) {
  for (size_t t = 0; t < ctx.file.tensors.size(); ++t)
    if (crossesStages(ctx, static_cast<int>(t)))
      ctx.model.buffers[static_cast<int>(t)].assign(ctx.elements(static_cast<int>(t)) + kPadFloats,
                                                    0.f);
}

}  // namespace talvex::vision::tflite
