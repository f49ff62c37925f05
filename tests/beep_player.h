// Plays short tones into a sound server at chosen moments, as an application playing sound
// would: a playback stream of its own for each tone, closed again afterwards, so that a sink
// nobody else plays to goes idle between tones. For tests only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace talvex::testing {

// Times are nanoseconds on the monotonic clock.
struct Beep {
  int64_t written = 0;  // when its first sample was handed to the server
  int64_t heard = 0;    // when the server plays its first sample, by the server's own account
};

class BeepPlayer {
 public:
  static constexpr int kRate = 48000;
  static constexpr double kFrequency = 1000;
  static constexpr double kAmplitude = 0.5;
  static constexpr int kFrames = kRate / 5;  // 200 ms

  explicit BeepPlayer(std::string server) : server_(std::move(server)) {}

  // Connects ahead of `at` and plays one tone so that it is heard as close to `at` as the
  // server's latency allows; blocks until the tone has played. Nothing when the server
  // refuses the stream.
  std::optional<Beep> playAt(int64_t at);

 private:
  std::string server_;
};

int64_t monotonicNs();

}  // namespace talvex::testing
