#include "platform/vision/tflite/model.h"

#include <fstream>
#include <iterator>

#include "platform/vision/tflite/model_build.h"
#include "platform/vision/tflite/model_impl.h"

namespace talvex::vision::tflite {

size_t TensorShape::elements() const {
  size_t n = 1;
  for (int d : dims) n *= static_cast<size_t>(d);
  return n;
}

namespace {

// Runs the builder's steps in order; `wanted` names the outputs to compute (empty: all).
Status buildStages(BuildContext& ctx, const std::vector<std::string>& wanted) {
  if (Status s = chooseOutputs(ctx, wanted); !s) return s;
  if (Status s = loadConstants(ctx); !s) return s;
  if (Status s = planStages(ctx); !s) return s;
  allocateBuffers(ctx);
  for (size_t st = 0; st < ctx.plan.stageOps.size(); ++st) {
    const auto& ops = ctx.plan.stageOps[st];
    Status s =
        ctx.plan.stageIsHost[st] ? buildHostStage(ctx, ops.front()) : buildXnnStage(ctx, ops);
    if (!s) return s;
  }
  releasePackedWeights(ctx);
  return Status::ok();
}

// The model's declared inputs and the computed outputs, as callers see them.
Status exposeTensors(BuildContext& ctx) {
  Model::Impl& m = ctx.model;
  for (int t : ctx.file.inputs) {
    m.inputTensors.push_back(t);
    m.inputShapes.push_back({ctx.file.tensors[t].shape});
    m.inputPtrs.push_back(m.buffers[t].data());
  }
  for (int t : ctx.plan.outputs) {
    if (!m.buffers.count(t))
      return ctx.fail("output " + ctx.file.tensors[t].name + " is a constant");
    m.outputTensors.push_back(t);
    m.outputShapes.push_back({ctx.file.tensors[t].shape});
    m.outputNames.push_back(ctx.file.tensors[t].name);
    m.outputPtrs.push_back(m.buffers[t].data());
  }
  return Status::ok();
}

Result<std::unique_ptr<Model::Impl>> buildUnguarded(std::vector<uint8_t> bytes,
                                                    const std::string& name, int threads,
                                                    const std::vector<std::string>& outputs) {
  using R = Result<std::unique_ptr<Model::Impl>>;
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
  BuildContext ctx{*impl, *parsed, {}};
  if (Status s = buildStages(ctx, outputs); !s) return s;
  if (Status s = exposeTensors(ctx); !s) return s;
  if (file.malformed()) return R::failure(name + ": model file is damaged or truncated");
  // Everything the model needs has been copied out of the file by now.
  std::vector<uint8_t>().swap(impl->bytes);
  return impl;
}

}  // namespace

Result<std::unique_ptr<Model::Impl>> buildModel(std::vector<uint8_t> bytes, const std::string& name,
                                                int threads,
                                                const std::vector<std::string>& outputs) {
  using R = Result<std::unique_ptr<Model::Impl>>;
  // A damaged file can still ask for more memory than there is; that is a load failure too.
  try {
    return buildUnguarded(std::move(bytes), name, threads, outputs);
  } catch (const std::bad_alloc&) {
    return R::failure(name + ": not enough memory to load the model");
  } catch (const std::length_error&) {
    return R::failure(name + ": model asks for an impossible size");
  }
}

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

Result<std::unique_ptr<Model>> Model::loadBytes(std::vector<uint8_t> bytes, const std::string& name,
                                                int threads,
                                                const std::vector<std::string>& outputs) {
  auto impl = buildModel(std::move(bytes), name, threads, outputs);
  if (!impl) return impl.status();
  return fromImpl(std::move(impl.value()));
}

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
