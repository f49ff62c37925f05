// The model builder's steps, in the order Model::loadBytes runs them: choose the outputs and
// the operators they need, widen the constants, split the operators into stages, give the
// tensors that cross stages host buffers, build each stage, and drop the weights XNNPACK has
// copied into its own layout.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/tflite/model_file.h"
#include "platform/vision/tflite/model_impl.h"

namespace talvex::vision::tflite {

// What planning decided about the file's operators before any XNNPACK call.
struct GraphPlan {
  std::vector<int> outputs;  // tensor indices of the outputs computed, in file order
  std::vector<bool> live;    // per operator: some computed output depends on it
  std::vector<std::vector<size_t>> stageOps;  // operator indices of each stage
  std::vector<bool> stageIsHost;
  std::map<int, int> producer;             // tensor -> the stage that writes it
  std::map<int, std::set<int>> consumers;  // tensor -> the stages that read it
};

// Borrows the model being built and its parsed file for the length of one build.
struct BuildContext {
  Model::Impl& model;
  const ModelFile& file;
  GraphPlan plan;

  Status fail(const std::string& what) const { return Status::failure(model.name + ": " + what); }
  size_t elements(int t) const { return TensorShape{file.tensors[t].shape}.elements(); }
  bool isConst(int t) const { return model.constants.count(t) || model.intConstants.count(t); }
  bool isModelInput(int t) const;
  bool isModelOutput(int t) const;
  // The values of an integer constant; empty when `t` is not one.
  std::vector<int> intConst(int t) const;
};

// Keeps the outputs named in `wanted` (all when empty) and marks the operators they need.
Status chooseOutputs(BuildContext& ctx, const std::vector<std::string>& wanted);
// Widens every constant tensor to float (int32 constants stay integers), densifying sparse ones.
Status loadConstants(BuildContext& ctx);
// Groups the live operators, in file order, into XNNPACK runs and single host operators.
Status planStages(BuildContext& ctx);
// Host buffers for the tensors that cross from one stage to another or are model inputs or
// outputs (XNNPACK may read a little past their end, so they are padded).
void allocateBuffers(BuildContext& ctx);
// One stage each; they append to the model's stages.
Status buildHostStage(BuildContext& ctx, size_t opIndex);
Status buildXnnStage(BuildContext& ctx, const std::vector<size_t>& opIndices);
// Frees the constants only XNNPACK's packed weights need now.
void releasePackedWeights(BuildContext& ctx);

}  // namespace talvex::vision::tflite
