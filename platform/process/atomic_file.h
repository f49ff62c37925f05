#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/process/result.h"

namespace talvex {

// Replaces the file at `path` with `bytes` so that a reader only ever sees the old file or
// the whole new one: the bytes go to a temporary file in the same directory, which is then
// renamed over `path`. On failure no temporary file is left behind.
Status writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace talvex
