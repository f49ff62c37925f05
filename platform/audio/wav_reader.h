// Reads a recorded WAV file back as any other program would: for tests and benchmarks that
// check what looptap wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process/result.h"

namespace talvex::audio {

struct WavContents {
  int sampleRate = 0;
  int channels = 0;
  bool pcm16 = false;  // 16-bit signed integer samples
  int64_t frames = 0;
  std::vector<int16_t> samples;  // interleaved, frames × channels
};

// Fails when the file is missing or not a readable sound file (e.g. a corrupt header).
Result<WavContents> readWav(const std::string& path);

}  // namespace talvex::audio
