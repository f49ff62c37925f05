#include "lumipose/analysis/face_measures.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace talvex::lumipose {

double r3(double x) { return std::round(x * 1000.0) / 1000.0; }

namespace {

// trunc(v) as a 64-bit integer, or nullopt when v is not finite or does not fit.
bool truncToInt64(double v, int64_t& out) {
  if (!std::isfinite(v)) return false;
  double t = std::trunc(v);
  if (t < -9.2e18 || t > 9.2e18) return false;
  out = static_cast<int64_t>(t);
  return true;
}

// Limited-range luma (16 black, 235 white) as the full-range value it stands for, rounded and
// clamped to 0..255, so that luma means the same whatever range the frame came in.
struct FullRangeLuma {
  uint8_t of[256];
  constexpr FullRangeLuma() : of{} {
    for (int v = 0; v < 256; ++v) {
      const int scaled = ((v - 16) * 255 * 2 + 219) / (219 * 2);  // round half up for v >= 16
      of[v] = static_cast<uint8_t>(v < 16 ? 0 : (scaled > 255 ? 255 : scaled));
    }
  }
};
constexpr FullRangeLuma kFullRangeLuma;

}  // namespace

double luma(const PixelBuffer& buffer, const vision::NormalizedRect& rect) {
  if (buffer.planeCount() < 1) return -1;
  const PlaneView& p = buffer.plane(0);
  if (p.base == nullptr) return -1;
  const int64_t W = p.width, H = p.height, R = p.bytesPerRow;
  int64_t x0, x1, y0, y1;
  if (!truncToInt64(rect.x * static_cast<double>(W), x0) ||
      !truncToInt64((rect.x + rect.width) * static_cast<double>(W), x1) ||
      !truncToInt64(rect.y * static_cast<double>(H), y0) ||
      !truncToInt64((rect.y + rect.height) * static_cast<double>(H), y1))
    return -1;
  const int64_t xs = std::max<int64_t>(0, x0), xe = std::min(W, x1);
  const int64_t ys = std::max<int64_t>(0, y0), ye = std::min(H, y1);
  if (xs >= xe || ys >= ye) return -1;
  const bool limited = buffer.range() == YuvRange::Limited;
  int64_t sum = 0, count = 0;
  for (int64_t y = ys; y < ye; y += 6) {
    const uint8_t* row = p.base + y * R;
    for (int64_t x = xs; x < xe; x += 6) {
      sum += limited ? kFullRangeLuma.of[row[x]] : row[x];
      ++count;
    }
  }
  return (static_cast<double>(sum) / static_cast<double>(count)) / 255.0;
}

vision::Point centre(std::span<const vision::Point> points) {
  if (points.empty()) return {0, 0};
  double sx = 0, sy = 0;
  for (const auto& p : points) {
    sx += p.x;
    sy += p.y;
  }
  const double n = static_cast<double>(points.size());
  return {sx / n, sy / n};
}

Extent extent(std::span<const vision::Point> points) {
  constexpr double kMax = std::numeric_limits<double>::max();
  Extent e{kMax, -kMax, kMax, -kMax};
  for (const auto& p : points) {
    if (p.x < e.minX) e.minX = p.x;
    if (p.x >= e.maxX) e.maxX = p.x;
    if (p.y < e.minY) e.minY = p.y;
    if (p.y >= e.maxY) e.maxY = p.y;
  }
  return e;
}

}  // namespace talvex::lumipose
