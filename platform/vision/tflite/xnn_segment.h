// One XNNPACK stage while it is being defined: the subgraph, the XNNPACK value of each tensor
// defined so far, and the external ids of the tensors that live in host buffers. The
// operator definitions (xnn_ops.h) ask it for values; every XNNPACK status is turned into a
// message here, naming the model and the operator.
#pragma once

#include <xnnpack.h>

#include <map>
#include <string>
#include <vector>

#include "platform/vision/tflite/model_build.h"

namespace talvex::vision::tflite {

class XnnSegment {
 public:
  // Borrows the build context and the subgraph for the stage numbered `stage`.
  XnnSegment(BuildContext& ctx, xnn_subgraph_t subgraph, std::map<int, uint32_t> external,
             int stage)
      : ctx_(ctx), subgraph_(subgraph), external_(std::move(external)), stage_(stage) {}

  xnn_subgraph_t subgraph() const { return subgraph_; }
  const BuildContext& context() const { return ctx_; }
  const std::vector<int>& shape(int t) const { return ctx_.file.tensors[t].shape; }
  bool isFloatConst(int t) const { return ctx_.model.constants.count(t) > 0; }

  // The value of tensor `t`, defined on first use with its own shape; with `dims`, a fresh
  // value of those dimensions over the same data.
  Result<uint32_t> value(int t, const std::vector<size_t>* dims = nullptr);
  // An intermediate value of the stage, not backed by any tensor.
  Result<uint32_t> temp(const std::vector<size_t>& dims);

  struct InOut {
    uint32_t in, out;
  };
  // The values of an operator's first input and its output, in that order.
  Result<InOut> inOut(int in, int out);

  // XNNPACK ids of a weighted node's data, weights and optional bias (an absent bias, tensor
  // index below 0, is XNN_INVALID_VALUE_ID), defined in that order.
  struct WeightedInputs {
    uint32_t data, weights, bias;
  };
  Result<WeightedInputs> weightedInputs(int data, int weights, int bias);

  // Success, or a message saying XNNPACK rejected `what` of `op`.
  Status check(xnn_status s, const OperatorDesc& op, const char* what) const;
  // A failure naming the model and the operator.
  Status bad(const OperatorDesc& op, const std::string& why) const {
    return ctx_.fail(operatorName(op.code) + ": " + why);
  }

 private:
  BuildContext& ctx_;
  xnn_subgraph_t subgraph_;
  std::map<int, uint32_t> ids_;       // tensor index -> value id
  std::map<int, uint32_t> external_;  // tensor index -> external id
  int stage_;
};

}  // namespace talvex::vision::tflite
