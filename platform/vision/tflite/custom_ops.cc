// MediaPipe's attention-mesh operators, written from their published behaviour: a landmark set
// defines a rotated crop (as a 4x4 matrix mapping crop pixels to feature-map pixels), a feature
// map is resampled through that matrix, and landmarks found in the crop are mapped back.
#include <algorithm>
#include <cmath>
#include <string>

#include "platform/vision/tflite/flexbuffer.h"
#include "platform/vision/tflite/host_kernel.h"

namespace talvex::vision::tflite {
namespace {

using R = Result<HostKernel>;

int optionInt(const FlexMap& m, const char* key, int fallback) {
  auto it = m.find(key);
  return it == m.end() || it->second.empty() ? fallback : static_cast<int>(it->second[0]);
}
double optionReal(const FlexMap& m, const char* key, double fallback) {
  auto it = m.find(key);
  return it == m.end() || it->second.empty() ? fallback : it->second[0];
}

// Landmarks [1, N, 3] -> matrix [1, 4, 4], row-major, from crop pixel (x, y, 0, 1) to input.
R landmarksToTransformMatrix(std::span<const uint8_t> options, std::vector<HostInput> in,
                             std::vector<HostOutput> out) {
  auto opts = parseFlexMap(options);
  if (!opts) return R::failure("Landmarks2TransformMatrix: " + opts.message());
  if (in.size() != 1 || out.size() != 1 || out[0].shape.elements() != 16)
    return R::failure("Landmarks2TransformMatrix: expects one landmark input and a 4x4 output");
  const auto& dims = in[0].shape.dims;
  if (dims.size() != 3 || dims[2] != 3)
    return R::failure("Landmarks2TransformMatrix: landmarks must be [1, N, 3]");
  const int count = dims[1];
  const int left = optionInt(*opts, "left_rotation_idx", -1);
  const int right = optionInt(*opts, "right_rotation_idx", -1);
  const int outW = optionInt(*opts, "output_width", 0);
  const int outH = optionInt(*opts, "output_height", 0);
  const double scaleX = optionReal(*opts, "scale_x", 0), scaleY = optionReal(*opts, "scale_y", 0);
  const double target = optionReal(*opts, "target_rotation_radians", 0);
  std::vector<int> subset;
  if (auto it = opts->find("subset_idxs"); it != opts->end())
    for (double v : it->second) subset.push_back(static_cast<int>(v));
  auto valid = [&](int i) { return i >= 0 && i < count; };
  if (!valid(left) || !valid(right) || outW <= 0 || outH <= 0 || scaleX <= 0 || scaleY <= 0 ||
      subset.empty() || !std::all_of(subset.begin(), subset.end(), valid))
    return R::failure("Landmarks2TransformMatrix: invalid options");
  const float* lm = in[0].data;
  float* m = out[0].data;
  return HostKernel([=]() {
    auto px = [&](int i) { return static_cast<double>(lm[3 * i]); };
    auto py = [&](int i) { return static_cast<double>(lm[3 * i + 1]); };
    // Turn the landmarks so that the left-right line lies at the target angle; measure the
    // subset's box there; the crop is that box turned back.
    const double r = target - std::atan2(py(right) - py(left), px(right) - px(left));
    const double c = std::cos(r), s = std::sin(r);
    double minX = 1e30, minY = 1e30, maxX = -1e30, maxY = -1e30;
    for (int i : subset) {
      const double x = c * px(i) - s * py(i), y = s * px(i) + c * py(i);
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
      minY = std::min(minY, y);
      maxY = std::max(maxY, y);
    }
    const double midX = (minX + maxX) / 2, midY = (minY + maxY) / 2;
    const double cx = c * midX + s * midY, cy = -s * midX + c * midY;
    const double sx = scaleX * (maxX - minX) / outW, sy = scaleY * (maxY - minY) / outH;
    const double a = c * sx, b = s * sy, d = -s * sx, e = c * sy;
    const double tx = cx - (a * outW / 2 + b * outH / 2);
    const double ty = cy - (d * outW / 2 + e * outH / 2);
    const double mat[16] = {a, b, 0, tx, d, e, 0, ty, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int k = 0; k < 16; ++k) m[k] = static_cast<float>(mat[k]);
    return Status::ok();
  });
}

// Feature map [1, H, W, C] sampled bilinearly through the matrix into [1, h, w, C]; samples
// outside the map are zero. Pixel centres sit at +0.5 on both sides of the mapping.
R transformTensorBilinear(std::vector<HostInput> in, std::vector<HostOutput> out) {
  if (in.size() != 2 || out.size() != 1 || in[1].shape.elements() != 16)
    return R::failure("TransformTensorBilinear: expects a feature map and a 4x4 matrix");
  const auto& id = in[0].shape.dims;
  const auto& od = out[0].shape.dims;
  if (id.size() != 4 || od.size() != 4 || id[3] != od[3])
    return R::failure("TransformTensorBilinear: feature maps must be [1, H, W, C] alike");
  const int inH = id[1], inW = id[2], ch = id[3], outH = od[1], outW = od[2];
  const float* src = in[0].data;
  const float* mat = in[1].data;
  float* dst = out[0].data;
  return HostKernel([=]() {
    const double m0 = mat[0], m1 = mat[1], m4 = mat[4], m5 = mat[5];
    const double m3 = mat[3] + 0.5 * m0 + 0.5 * m1 - 0.5;
    const double m7 = mat[7] + 0.5 * m4 + 0.5 * m5 - 0.5;
    for (int oy = 0; oy < outH; ++oy) {
      for (int ox = 0; ox < outW; ++ox) {
        float* o = dst + (static_cast<size_t>(oy) * outW + ox) * ch;
        const double x = m0 * ox + m1 * oy + m3, y = m4 * ox + m5 * oy + m7;
        if (!(x >= 0 && x <= inW - 1 && y >= 0 && y <= inH - 1)) {
          std::fill(o, o + ch, 0.f);
          continue;
        }
        const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
        const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
        const int x1 = std::min(x0 + 1, inW - 1), y1 = std::min(y0 + 1, inH - 1);
        // At the far edge the missing neighbour carries zero weight anyway.
        const float* q11 = src + (static_cast<size_t>(y0) * inW + x0) * ch;
        const float* q21 = src + (static_cast<size_t>(y0) * inW + x1) * ch;
        const float* q12 = src + (static_cast<size_t>(y1) * inW + x0) * ch;
        const float* q22 = src + (static_cast<size_t>(y1) * inW + x1) * ch;
        const float w11 = (1 - fx) * (1 - fy), w21 = fx * (1 - fy), w12 = (1 - fx) * fy,
                    w22 = fx * fy;
        for (int k = 0; k < ch; ++k)
          o[k] = w11 * q11[k] + w21 * q21[k] + w12 * q12[k] + w22 * q22[k];
      }
    }
    return Status::ok();
  });
}

// Landmarks [1, N, D] (D = 2 or 3) mapped through the matrix; z passes unchanged.
R transformLandmarks(std::vector<HostInput> in, std::vector<HostOutput> out) {
  if (in.size() != 2 || out.size() != 1 || in[1].shape.elements() != 16)
    return R::failure("TransformLandmarks: expects landmarks and a 4x4 matrix");
  const auto& d = in[0].shape.dims;
  if (d.size() != 3 || (d[2] != 2 && d[2] != 3) || out[0].shape.dims != d)
    return R::failure("TransformLandmarks: landmarks must be [1, N, 2 or 3]");
  const int n = d[1], dim = d[2];
  const float* lm = in[0].data;
  const float* mat = in[1].data;
  float* dst = out[0].data;
  return HostKernel([=]() {
    for (int i = 0; i < n; ++i) {
      const float x = lm[i * dim], y = lm[i * dim + 1];
      dst[i * dim] = mat[0] * x + mat[1] * y + mat[3];
      dst[i * dim + 1] = mat[4] * x + mat[5] * y + mat[7];
      if (dim == 3) dst[i * dim + 2] = lm[i * dim + 2];
    }
    return Status::ok();
  });
}

}  // namespace

Result<HostKernel> makeCustomKernel(std::string_view name, std::span<const uint8_t> options,
                                    std::vector<HostInput> inputs,
                                    std::vector<HostOutput> outputs) {
  if (name == "Landmarks2TransformMatrix")
    return landmarksToTransformMatrix(options, std::move(inputs), std::move(outputs));
  if (name == "TransformTensorBilinear")
    return transformTensorBilinear(std::move(inputs), std::move(outputs));
  if (name == "TransformLandmarks")
    return transformLandmarks(std::move(inputs), std::move(outputs));
  return Result<HostKernel>::failure("unsupported custom operator " + std::string(name));
}

}  // namespace talvex::vision::tflite
