#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>

#include "platform/vision/ops/model_paths.h"
#include "platform/vision/tflite/host_kernel.h"
#include "platform/vision/tflite/model_file.h"

namespace talvex::vision::tflite {
namespace {

// The custom options of the mesh model's first transform-matrix operator (lip landmarks 61 and
// 291 set the rotation; the crop is 16 x 16 and 1.5 times the landmarks' box).
std::vector<uint8_t> lipMatrixOptions() {
  auto path = vision::modelPath("face_landmark_with_attention.tflite");
  if (!path) return {};
  std::ifstream in(*path, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  FlatFile file(bytes);
  auto m = ModelFile::parse(file);
  if (!m) return {};
  for (const auto& o : m->operators)
    if (o.customCode == "Landmarks2TransformMatrix")
      return {o.customOptions.begin(), o.customOptions.end()};
  return {};
}

void apply(const float* m, double x, double y, double& ox, double& oy) {
  ox = m[0] * x + m[1] * y + m[3];
  oy = m[4] * x + m[5] * y + m[7];
}

class LandmarksToMatrix : public ::testing::TestWithParam<double> {};

// Mouth corners 20 px apart and lip points 12 px apart vertically, all turned by `angle` about
// (20, 20): the crop is centred there, turned with them, 1.5 x 20 by 1.5 x 12 in size.
TEST_P(LandmarksToMatrix, CentresScalesAndTurnsTheCrop) {
  const std::vector<uint8_t> options = lipMatrixOptions();
  ASSERT_FALSE(options.empty());
  const double angle = GetParam();
  std::vector<float> lm(468 * 3, 0.f);
  auto place = [&](int i, double dx, double dy) {
    lm[3 * i] = static_cast<float>(20 + dx * std::cos(angle) - dy * std::sin(angle));
    lm[3 * i + 1] = static_cast<float>(20 + dx * std::sin(angle) + dy * std::cos(angle));
  };
  for (int i = 0; i < 468; ++i) place(i, 0, 0);
  place(61, -10, 0);
  place(291, 10, 0);
  place(0, 0, -6);
  place(17, 0, 6);
  std::vector<float> matrix(16, -1.f);
  auto k = makeCustomKernel("Landmarks2TransformMatrix", options, {{lm.data(), {{1, 468, 3}}}},
                            {{matrix.data(), {{1, 4, 4}}}});
  ASSERT_TRUE(k) << k.message();
  ASSERT_TRUE((*k)());
  double x, y;
  apply(matrix.data(), 8, 8, x, y);  // the crop's centre
  EXPECT_NEAR(x, 20, 1e-3);
  EXPECT_NEAR(y, 20, 1e-3);
  double x2, y2;
  apply(matrix.data(), 16, 8, x2, y2);  // half a crop width to the right
  EXPECT_NEAR(std::hypot(x2 - x, y2 - y), 1.5 * 20 / 2, 1e-3);
  EXPECT_NEAR(std::atan2(y2 - y, x2 - x), angle, 1e-4);
  apply(matrix.data(), 8, 16, x2, y2);  // half a crop height down
  EXPECT_NEAR(std::hypot(x2 - x, y2 - y), 1.5 * 12 / 2, 1e-3);
  EXPECT_FLOAT_EQ(matrix[15], 1.f);
}

INSTANTIATE_TEST_SUITE_P(Angles, LandmarksToMatrix,
                         ::testing::Values(0.0, std::numbers::pi / 6, -1.0, 2.5));

TEST(LandmarksToMatrixOptions, RejectsMissingOptionsAndIndicesBeyondTheLandmarks) {
  std::vector<float> lm(10 * 3), matrix(16);
  EXPECT_FALSE(makeCustomKernel("Landmarks2TransformMatrix", {}, {{lm.data(), {{1, 10, 3}}}},
                                {{matrix.data(), {{1, 4, 4}}}}));
  // Real options name landmark 291, beyond a 10-point input.
  const std::vector<uint8_t> options = lipMatrixOptions();
  EXPECT_FALSE(makeCustomKernel("Landmarks2TransformMatrix", options, {{lm.data(), {{1, 10, 3}}}},
                                {{matrix.data(), {{1, 4, 4}}}}));
}

TEST(TransformTensorBilinear, SamplesThroughTheMatrixWithZeroOutside) {
  // v(y, x, c) = 10 y + x + 100 c on a 4 x 4 x 2 map.
  std::vector<float> in(4 * 4 * 2);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      for (int c = 0; c < 2; ++c)
        in[(y * 4 + x) * 2 + c] = static_cast<float>(10 * y + x + 100 * c);
  std::vector<float> shift{1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1};
  std::vector<float> out(2 * 2 * 2, -1.f);
  auto k = makeCustomKernel("TransformTensorBilinear", {},
                            {{in.data(), {{1, 4, 4, 2}}}, {shift.data(), {{1, 4, 4}}}},
                            {{out.data(), {{1, 2, 2, 2}}}});
  ASSERT_TRUE(k) << k.message();
  ASSERT_TRUE((*k)());
  EXPECT_EQ(out, (std::vector<float>{11, 111, 12, 112, 21, 121, 22, 122}));

  // Half-way between pixel centres: the mean of the neighbours.
  std::vector<float> half{1, 0, 0, 1.5f, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  auto k2 = makeCustomKernel("TransformTensorBilinear", {},
                             {{in.data(), {{1, 4, 4, 2}}}, {half.data(), {{1, 4, 4}}}},
                             {{out.data(), {{1, 2, 2, 2}}}});
  ASSERT_TRUE((*k2)());
  EXPECT_FLOAT_EQ(out[0], 1.5f);
  EXPECT_FLOAT_EQ(out[1], 101.5f);

  std::vector<float> away{1, 0, 0, 10, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  auto k3 = makeCustomKernel("TransformTensorBilinear", {},
                             {{in.data(), {{1, 4, 4, 2}}}, {away.data(), {{1, 4, 4}}}},
                             {{out.data(), {{1, 2, 2, 2}}}});
  ASSERT_TRUE((*k3)());
  EXPECT_EQ(out, std::vector<float>(8, 0.f));

  EXPECT_FALSE(makeCustomKernel("TransformTensorBilinear", {},
                                {{in.data(), {{1, 4, 4, 2}}}, {away.data(), {{1, 4, 4}}}},
                                {{out.data(), {{1, 2, 2, 3}}}}));
}

TEST(TransformLandmarks, MapsPointsAndKeepsDepth) {
  // A quarter turn plus a shift: (x, y) -> (-y + 5, x + 7).
  std::vector<float> m{0, -1, 0, 5, 1, 0, 0, 7, 0, 0, 1, 0, 0, 0, 0, 1};
  std::vector<float> pts{1, 2, 9, 3, 4, 8};
  std::vector<float> out(6);
  auto k = makeCustomKernel("TransformLandmarks", {},
                            {{pts.data(), {{1, 2, 3}}}, {m.data(), {{1, 4, 4}}}},
                            {{out.data(), {{1, 2, 3}}}});
  ASSERT_TRUE(k) << k.message();
  ASSERT_TRUE((*k)());
  EXPECT_EQ(out, (std::vector<float>{3, 8, 9, 1, 10, 8}));
}

TEST(Concatenation, RejectsInputsThatDoNotAddUp) {
  std::vector<float> a(4), b(4), out(10);
  EXPECT_FALSE(
      makeConcatenation(1, {{a.data(), {{1, 4}}}, {b.data(), {{1, 4}}}}, {out.data(), {{1, 10}}}));
  EXPECT_FALSE(makeConcatenation(3, {{a.data(), {{1, 4}}}}, {out.data(), {{1, 4}}}));
  EXPECT_TRUE(
      makeConcatenation(0, {{a.data(), {{1, 4}}}, {b.data(), {{1, 4}}}}, {out.data(), {{2, 4}}}));
}

}  // namespace
}  // namespace talvex::vision::tflite
