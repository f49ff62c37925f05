#include "platform/vision/ops/scene_cut.h"

#include <cmath>

namespace talvex::vision {
namespace {

constexpr int kStep = 4;
constexpr double kCutLevel = 12;

}  // namespace

SceneSignature sceneSignature(const RgbImage& frame) {
  SceneSignature s;
  if (frame.width <= 0 || frame.height <= 0 ||
      frame.pixels.size() < size_t(frame.width) * frame.height * 3)
    return s;
  std::array<int, SceneSignature::kColumns * SceneSignature::kRows> counts{};
  std::array<double, SceneSignature::kColumns * SceneSignature::kRows> sums{};
  for (int y = 0; y < frame.height; y += kStep) {
    const int row = y * SceneSignature::kRows / frame.height;
    const uint8_t* line = frame.pixels.data() + size_t(y) * frame.width * 3;
    for (int x = 0; x < frame.width; x += kStep) {
      const uint8_t* px = line + size_t(x) * 3;
      const size_t cell = size_t(row) * SceneSignature::kColumns +
                          size_t(x * SceneSignature::kColumns / frame.width);
      sums[cell] += (px[0] + 2 * px[1] + px[2]) / 4.0;
      ++counts[cell];
    }
  }
  for (size_t i = 0; i < s.cells.size(); ++i)
    s.cells[i] = counts[i] ? static_cast<float>(sums[i] / counts[i]) : 0.0f;
  return s;
}

bool isSceneCut(const SceneSignature& before, const SceneSignature& now) {
  double total = 0;
  for (size_t i = 0; i < now.cells.size(); ++i) total += std::abs(now.cells[i] - before.cells[i]);
  return total / static_cast<double>(now.cells.size()) > kCutLevel;
}

}  // namespace talvex::vision
