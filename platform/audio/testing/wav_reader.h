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
  // What the container's own header declares as the size of the sample data, and how many
  // bytes really follow the data chunk's header. Lenient readers (libsndfile among them)
  // fall back to the file length when the two disagree; a strict one would not.
  uint64_t declaredDataBytes = 0;
  uint64_t dataBytesOnDisk = 0;
};

// Fails when the file is missing or not a readable sound file (e.g. a corrupt header).
Result<WavContents> readWav(const std::string& path);

}  // namespace talvex::audio
