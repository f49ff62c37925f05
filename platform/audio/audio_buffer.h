// Captured system audio as the sample path sees it: a format and a borrowed block of samples.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace talvex::audio {

// Samples are always 32-bit float; only the rate and the channel count vary.
struct AudioFormat {
  double sampleRate = 0;
  uint32_t channels = 0;

  bool operator==(const AudioFormat&) const = default;
};

// One buffer handed to the sample handler, borrowed for the length of that call. The samples
// are interleaved (frame by frame, one sample per channel in channel order) and writable, so
// the handler can silence them in place without a copy.
struct AudioBuffer {
  // False for a stretch the sound server reported as lost instead of delivering samples.
  bool valid = true;
  // Missing when the server gave no usable description of the samples.
  std::optional<AudioFormat> format;
  std::span<float> samples;
  // When the first frame sounded, on the monotonic clock (steady_clock), as far as the stream
  // can tell; missing when it cannot.
  std::optional<std::chrono::steady_clock::time_point> sounded;

  uint32_t frameLength() const {
    return format && format->channels ? static_cast<uint32_t>(samples.size() / format->channels)
                                      : 0;
  }
  float sample(uint32_t frame, uint32_t channel) const {
    return samples[static_cast<size_t>(frame) * format->channels + channel];
  }
};

}  // namespace talvex::audio
