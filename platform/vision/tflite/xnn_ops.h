// The operators an XNNPACK stage can hold: one small definition per operator, chosen by a
// dispatcher on the operator code.
#pragma once

#include "platform/process/result.h"
#include "platform/vision/tflite/model_file.h"

namespace talvex::vision::tflite {

class XnnSegment;

// True when defineXnnOp knows the operator.
bool xnnSupports(int code);

// Adds `op` to the stage's subgraph; fails with a message naming the operator when its
// tensors or options are ones the runtime does not handle.
Status defineXnnOp(XnnSegment& seg, const OperatorDesc& op);

}  // namespace talvex::vision::tflite
