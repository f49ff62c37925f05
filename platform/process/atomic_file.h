#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/process/result.h"

namespace talvex {

// Whether a program may replace what is at `path` with a file of its own: only a regular file
// or nothing at all. A device, a pipe, a socket or a folder there (also behind a link) fails with
// "not a regular file: <path>": removing it would destroy what is not the program's, and opening
// a pipe would wait for a reader.
Status checkReplaceable(const std::string& path);

// Replaces the file at `path` with `bytes` so that a reader only ever sees the old file or
// the whole new one: the bytes go to a temporary file in the same directory, which is then
// renamed over `path`. On failure no temporary file is left behind.
Status writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes);

// Creates an empty file beside `target` under a name no other run uses (hidden, its name cut
// to fit the file system's limit), with the permissions a new file there would get, for a
// writer that renames it over `target` once complete. Returns its path.
Result<std::string> createTemporaryBeside(const std::string& target);

}  // namespace talvex
