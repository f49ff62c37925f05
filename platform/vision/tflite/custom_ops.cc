#include "platform/vision/tflite/host_kernel.h"

namespace talvex::vision::tflite {

Result<HostKernel> makeCustomKernel(std::string_view name, std::span<const uint8_t>,
                                    std::vector<HostInput>, std::vector<HostOutput>) {
  return Result<HostKernel>::failure("unsupported custom operator " + std::string(name));
}

}  // namespace talvex::vision::tflite
