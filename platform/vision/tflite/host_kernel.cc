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

Result<HostKernel> makeStridedSlice(const StridedSliceParams& p, HostInput input,
                                    HostOutput output) {
  using R = Result<HostKernel>;
  const size_t rank = input.shape.dims.size();
  if (p.ellipsisMask != 0 || p.newAxisMask != 0)
    return R::failure("STRIDED_SLICE with ellipsis or new axes is not supported");
  if (p.begin.size() != rank || p.end.size() != rank || p.strides.size() != rank || rank > 6)
    return R::failure("STRIDED_SLICE parameters must be constant, one per dimension");
  // Resolve each dimension to start, step and count (TensorFlow's clamping rules).
  std::vector<int> start(rank), step(rank), count(rank);
  for (size_t d = 0; d < rank; ++d) {
    const int n = input.shape.dims[d];
    int s = p.strides[d];
    if (s == 0) return R::failure("STRIDED_SLICE stride of zero");
    int b = p.begin[d], e = p.end[d];
    if (p.offset) e += b;
    auto clampIndex = [&](int v) {
      if (v < 0) v += n;
      if (s > 0) return std::clamp(v, 0, n);
      return std::clamp(v, -1, n - 1);
    };
    if (p.beginMask & (1 << d))
      b = s > 0 ? 0 : n - 1;
    else
      b = clampIndex(b);
    if (p.shrinkAxisMask & (1 << d)) {
      e = b + 1;
      s = 1;
    } else if (p.endMask & (1 << d)) {
      e = s > 0 ? n : -1;
    } else {
      e = clampIndex(e);
    }
    int c = s > 0 ? (e - b + s - 1) / s : (b - e - s - 1) / (-s);
    start[d] = b;
    step[d] = s;
    count[d] = std::max(c, 0);
  }
  size_t total = 1;
  for (int c : count) total *= static_cast<size_t>(c);
  if (total != output.shape.elements()) return R::failure("STRIDED_SLICE output size mismatch");
  std::vector<size_t> stride(rank, 1);
  for (size_t d = rank; d-- > 1;)
    stride[d - 1] = stride[d] * static_cast<size_t>(input.shape.dims[d]);
  return HostKernel([input, output, start, step, count, stride, rank, total]() {
    std::vector<int> idx(rank, 0);
    for (size_t k = 0; k < total; ++k) {
      size_t src = 0;
      for (size_t d = 0; d < rank; ++d)
        src += static_cast<size_t>(start[d] + idx[d] * step[d]) * stride[d];
      output.data[k] = input.data[src];
      for (size_t d = rank; d-- > 0;) {
        if (++idx[d] < count[d]) break;
        idx[d] = 0;
      }
    }
    return Status::ok();
  });
}

}  // namespace talvex::vision::tflite
