#include "platform/vision/tflite/host_kernel.h"

#include <algorithm>
#include <cstring>

namespace talvex::vision::tflite {

Result<HostKernel> makeConcatenation(int axis, std::vector<HostInput> inputs, HostOutput output) {
  const int rank = static_cast<int>(output.shape.dims.size());
  if (axis < 0) axis += rank;
  if (axis < 0 || axis >= rank || inputs.empty())
    return Result<HostKernel>::failure("CONCATENATION axis out of range");
  // Every input must match the output outside the axis; the axis sizes must add up.
  int total = 0;
  for (const auto& in : inputs) {
    if (static_cast<int>(in.shape.dims.size()) != rank)
      return Result<HostKernel>::failure("CONCATENATION inputs differ in rank");
    for (int d = 0; d < rank; ++d)
      if (d != axis && in.shape.dims[d] != output.shape.dims[d])
        return Result<HostKernel>::failure("CONCATENATION inputs differ in shape");
    total += in.shape.dims[axis];
  }
  if (total != output.shape.dims[axis])
    return Result<HostKernel>::failure("CONCATENATION sizes do not add up");
  size_t outer = 1, inner = 1;
  for (int d = 0; d < axis; ++d) outer *= static_cast<size_t>(output.shape.dims[d]);
  for (int d = axis + 1; d < rank; ++d) inner *= static_cast<size_t>(output.shape.dims[d]);
  return HostKernel([inputs = std::move(inputs), output, outer, inner]() {
    float* dst = output.data;
    for (size_t o = 0; o < outer; ++o) {
      for (const auto& in : inputs) {
        size_t chunk = inner * static_cast<size_t>(in.shape.elements() / outer / inner);
        std::memcpy(dst, in.data + o * chunk, chunk * sizeof(float));
        dst += chunk;
      }
    }
    return Status::ok();
  });
}

}  // namespace talvex::vision::tflite
