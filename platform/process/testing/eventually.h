// Waiting in tests for what no event announces.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace talvex::testing {

// Checks `done` every 10 ms until it holds or `within` passes; whether it held. For the events
// a test waits for that no line or call announces: a file that appears, a camera opened again.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds within) {
  const auto until = std::chrono::steady_clock::now() + within;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace talvex::testing
