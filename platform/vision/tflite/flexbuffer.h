// Reads the options of custom operators, which model files store as a FlexBuffers map. Only
// what those options use is supported: a root map of numbers and vectors of numbers.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/process/result.h"

namespace talvex::vision::tflite {

// Each key maps to its numbers: one for a scalar, all elements for a (nested) vector, flattened.
using FlexMap = std::map<std::string, std::vector<double>>;

Result<FlexMap> parseFlexMap(std::span<const uint8_t> bytes);

}  // namespace talvex::vision::tflite
