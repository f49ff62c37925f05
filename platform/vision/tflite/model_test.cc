#include "platform/vision/tflite/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/vision/ops/model_paths.h"
#include "platform/vision/tflite/flexbuffer.h"
#include "platform/vision/tflite/model_file.h"
#include "platform/vision/testing/model_builder.h"

namespace talvex::vision::tflite {
namespace {

using testing::scalarBytes;
using testing::TestModel;
using testing::TestOperator;

std::vector<uint16_t> toHalf(const std::vector<float>& v) {
  // Exact for the small integers and halves used here.
  std::vector<uint16_t> out;
  for (float f : v) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
    int exp = static_cast<int>((bits >> 23) & 0xff) - 127 + 15;
    uint16_t mant = static_cast<uint16_t>((bits >> 13) & 0x3ff);
    out.push_back(f == 0 ? sign : static_cast<uint16_t>(sign | (exp << 10) | mant));
  }
  return out;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(HalfToFloat, ConvertsNormalSubnormalAndSpecialValues) {
  EXPECT_EQ(halfToFloat(0x3c00), 1.0f);
  EXPECT_EQ(halfToFloat(0xc000), -2.0f);
  EXPECT_EQ(halfToFloat(0x7bff), 65504.0f);
  EXPECT_EQ(halfToFloat(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(halfToFloat(0x03ff), 1023 * std::ldexp(1.0f, -24));
  EXPECT_EQ(halfToFloat(0x8000), -0.0f);
  EXPECT_TRUE(std::signbit(halfToFloat(0x8000)));
  EXPECT_TRUE(std::isinf(halfToFloat(0x7c00)));
  EXPECT_TRUE(std::isnan(halfToFloat(0x7e00)));
  EXPECT_NEAR(halfToFloat(0x3555), 1.0f / 3, 1e-4);
}

// A 3x3 convolution with half-precision weights behind DEQUANTIZE, SAME padding: each output
// is the sum of the input's 3x3 neighbourhood (zero outside) plus the bias.
TEST(Model, RunsConvolutionWithHalfPrecisionWeightsAndSamePadding) {
  TestModel m;
  int in = m.tensor({1, 4, 4, 1}, "in");
  auto w16 = toHalf(std::vector<float>(9, 1.0f));
  int w16t = m.constant<uint16_t>({1, 3, 3, 1}, w16, "w16", 1);
  int w = m.tensor({1, 3, 3, 1}, "w");
  int b = m.constant<float>({1}, {0.5f}, "b", 0);
  int out = m.tensor({1, 4, 4, 1}, "out");
  m.operators.push_back({op::kDequantize, "", {w16t}, {w}, 0, nullptr, {}});
  auto opts = testing::table();
  opts->scalars[0] = scalarBytes<int8_t>(0);  // SAME
  opts->scalars[1] = scalarBytes<int32_t>(1);
  opts->scalars[2] = scalarBytes<int32_t>(1);
  m.operators.push_back({op::kConv2d, "", {in, w, b}, {out}, 1, opts, {}});
  m.inputs = {in};
  m.outputs = {out};
  auto model = Model::loadBytes(m.bytes(), "conv", 1);
  ASSERT_TRUE(model) << model.message();
  float* x = (*model)->input(0);
  for (int i = 0; i < 16; ++i) x[i] = static_cast<float>(i);
  ASSERT_TRUE((*model)->invoke());
  const float* y = (*model)->output(0);
  EXPECT_FLOAT_EQ(y[0], 0 + 1 + 4 + 5 + 0.5f);                       // corner
  EXPECT_FLOAT_EQ(y[5], 0 + 1 + 2 + 4 + 5 + 6 + 8 + 9 + 10 + 0.5f);  // interior
  EXPECT_FLOAT_EQ(y[15], 10 + 11 + 14 + 15 + 0.5f);
  EXPECT_EQ((*model)->outputShape(0).dims, (std::vector<int>{1, 4, 4, 1}));
}

// XNNPACK has no concatenation; an output joined from two computed tensors must still come
// out whole and in order.
TEST(Model, JoinsConcatenatedOutputsOnTheHost) {
  TestModel m;
  int in = m.tensor({1, 2, 2}, "in");
  int c1 = m.constant<float>({1}, {10.f}, "c1", 0);
  int c2 = m.constant<float>({1}, {100.f}, "c2", 0);
  int a = m.tensor({1, 2, 2}, "a");
  int b = m.tensor({1, 2, 2}, "b");
  int out = m.tensor({1, 2, 4}, "joined");
  m.operators.push_back({op::kAdd, "", {in, c1}, {a}, 0, nullptr, {}});
  m.operators.push_back({op::kMul, "", {in, c2}, {b}, 0, nullptr, {}});
  auto opts = testing::table();
  opts->scalars[0] = scalarBytes<int32_t>(-1);
  m.operators.push_back({op::kConcatenation, "", {a, b}, {out}, 10, opts, {}});
  m.inputs = {in};
  m.outputs = {out};
  auto model = Model::loadBytes(m.bytes(), "concat", 1);
  ASSERT_TRUE(model) << model.message();
  for (int i = 0; i < 4; ++i) (*model)->input(0)[i] = static_cast<float>(i + 1);
  ASSERT_TRUE((*model)->invoke());
  const float* y = (*model)->output(0);
  std::vector<float> got(y, y + 8);
  EXPECT_EQ(got, (std::vector<float>{11, 12, 100, 200, 13, 14, 300, 400}));
  EXPECT_EQ((*model)->outputIndex("joined"), std::optional<size_t>(0));
  EXPECT_FALSE((*model)->outputIndex("a").has_value());
}

// A head the caller does not read is not built: here it holds an operator we cannot run, so
// the model only loads when that head is left out. The head that is kept shares the trunk.
TEST(Model, LeavesOutTheHeadsTheCallerDoesNotRead) {
  TestModel m;
  int in = m.tensor({1, 4}, "in");
  int c1 = m.constant<float>({1}, {10.f}, "c1", 0);
  int c2 = m.constant<float>({1}, {3.f}, "c2", 0);
  int trunk = m.tensor({1, 4}, "trunk");
  int kept = m.tensor({1, 4}, "kept");
  int other = m.tensor({1, 4}, "other");
  m.operators.push_back({op::kAdd, "", {in, c1}, {trunk}, 0, nullptr, {}});
  m.operators.push_back({28 /* TANH */, "", {trunk}, {other}, 0, nullptr, {}});
  m.operators.push_back({op::kMul, "", {trunk, c2}, {kept}, 0, nullptr, {}});
  m.inputs = {in};
  m.outputs = {other, kept};
  EXPECT_FALSE(Model::loadBytes(m.bytes(), "heads", 1));

  auto model = Model::loadBytes(m.bytes(), "heads", 1, {"kept"});
  ASSERT_TRUE(model) << model.message();
  EXPECT_EQ((*model)->outputCount(), 1u);
  EXPECT_EQ((*model)->outputIndex("kept"), std::optional<size_t>(0));
  EXPECT_FALSE((*model)->outputIndex("other").has_value());
  for (int i = 0; i < 4; ++i) (*model)->input(0)[i] = static_cast<float>(i);
  ASSERT_TRUE((*model)->invoke());
  const float* y = (*model)->output(0);
  EXPECT_EQ(std::vector<float>(y, y + 4), (std::vector<float>{30, 33, 36, 39}));

  auto missing = Model::loadBytes(m.bytes(), "heads", 1, {"kept", "nosuch"});
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.message().find("nosuch"), std::string::npos) << missing.message();
}

TEST(Model, StridedSliceKeepsTheSelectedElements) {
  TestModel m;
  int in = m.tensor({1, 2, 6}, "in");
  int begin = m.constant<int32_t>({3}, {0, 1, 1}, "begin", 2);
  int end = m.constant<int32_t>({3}, {1, 2, 6}, "end", 2);
  int strides = m.constant<int32_t>({3}, {1, 1, 2}, "strides", 2);
  int out = m.tensor({1, 1, 3}, "out");
  auto opts = testing::table();
  opts->scalars[0] = scalarBytes<int32_t>(0);
  m.operators.push_back({op::kStridedSlice, "", {in, begin, end, strides}, {out}, 32, opts, {}});
  m.inputs = {in};
  m.outputs = {out};
  auto model = Model::loadBytes(m.bytes(), "slice", 1);
  ASSERT_TRUE(model) << model.message();
  for (int i = 0; i < 12; ++i) (*model)->input(0)[i] = static_cast<float>(i);
  ASSERT_TRUE((*model)->invoke());
  const float* y = (*model)->output(0);
  EXPECT_EQ(std::vector<float>(y, y + 3), (std::vector<float>{7, 9, 11}));
}

TEST(Model, NamesTheOperatorItCannotRun) {
  TestModel m;
  int in = m.tensor({1, 4}, "in");
  int out = m.tensor({1, 4}, "out");
  m.operators.push_back({28 /* TANH */, "", {in}, {out}, 0, nullptr, {}});
  m.inputs = {in};
  m.outputs = {out};
  auto model = Model::loadBytes(m.bytes(), "tanh.tflite", 1);
  ASSERT_FALSE(model);
  EXPECT_NE(model.message().find("tanh.tflite"), std::string::npos) << model.message();
  EXPECT_NE(model.message().find("unsupported operator"), std::string::npos) << model.message();

  TestModel c;
  in = c.tensor({1, 4}, "in");
  out = c.tensor({1, 4}, "out");
  c.operators.push_back({op::kCustom, "MysteryOp", {in}, {out}, 0, nullptr, {}});
  c.inputs = {in};
  c.outputs = {out};
  model = Model::loadBytes(c.bytes(), "custom", 1);
  ASSERT_FALSE(model);
  EXPECT_NE(model.message().find("MysteryOp"), std::string::npos) << model.message();
}

TEST(Model, RejectsConstantsThatDoNotMatchTheirShape) {
  TestModel m;
  int in = m.tensor({1, 2}, "in");
  int c = m.constant<float>({1, 2}, {1.f}, "short", 0);
  int out = m.tensor({1, 2}, "out");
  m.operators.push_back({op::kAdd, "", {in, c}, {out}, 0, nullptr, {}});
  m.inputs = {in};
  m.outputs = {out};
  auto model = Model::loadBytes(m.bytes(), "bad", 1);
  ASSERT_FALSE(model);
  EXPECT_NE(model.message().find("short"), std::string::npos) << model.message();
}

TEST(Model, MissingFileFailsWithItsPath) {
  auto model = Model::load("/nonexistent/face.tflite", 1);
  ASSERT_FALSE(model);
  EXPECT_NE(model.message().find("/nonexistent/face.tflite"), std::string::npos);
}

// Leaving out the heads a pipeline does not read must not change the outputs it does read.
TEST(Model, PrunedLandmarkModelsGiveTheSameLandmarks) {
  for (const char* file : {"pose_landmark_lite.tflite", "hand_landmark_lite.tflite"}) {
    auto path = vision::modelPath(file);
    ASSERT_TRUE(path) << path.message();
    auto whole = Model::load(*path, 1);
    auto pruned = Model::load(*path, 1, {"Identity", "Identity_1"});
    ASSERT_TRUE(whole) << whole.message();
    ASSERT_TRUE(pruned) << pruned.message();
    ASSERT_EQ((*pruned)->outputCount(), 2u);
    const size_t n = (*whole)->inputShape(0).elements();
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> pixel(0.f, 1.f);
    for (size_t i = 0; i < n; ++i) (*whole)->input(0)[i] = (*pruned)->input(0)[i] = pixel(rng);
    ASSERT_TRUE((*whole)->invoke());
    ASSERT_TRUE((*pruned)->invoke());
    for (const char* name : {"Identity", "Identity_1"}) {
      size_t w = *(*whole)->outputIndex(name), p = *(*pruned)->outputIndex(name);
      const size_t count = (*pruned)->outputShape(p).elements();
      ASSERT_EQ(count, (*whole)->outputShape(w).elements());
      for (size_t k = 0; k < count; ++k)
        ASSERT_FLOAT_EQ((*pruned)->output(p)[k], (*whole)->output(w)[k]) << file << " " << name;
    }
  }
}

// Damaged files must fail cleanly (or, for harmless damage, still load): never crash.
class DamagedModel : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedModel, TruncatedOrCorruptedFilesFailCleanly) {
  auto path = vision::modelPath(GetParam());
  ASSERT_TRUE(path) << path.message();
  const std::vector<uint8_t> good = readFile(*path);
  ASSERT_GT(good.size(), 1000u);
  for (size_t len : {size_t{0}, size_t{3}, size_t{64}, good.size() / 3, good.size() - 100}) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(len));
    auto model = Model::loadBytes(cut, "cut", 1);
    EXPECT_FALSE(model) << "truncated to " << len;
  }
  std::mt19937 rng(7);
  int failures = 0;
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> bad = good;
    // Damage the table area at the front, where offsets live, or anywhere (shapes, options,
    // operator lists and weights lie throughout the file).
    const size_t span = round % 2 ? bad.size() : std::min<size_t>(bad.size(), 4096);
    for (int k = 0; k < 8; ++k) bad[rng() % span] = static_cast<uint8_t>(rng());
    auto model = Model::loadBytes(bad, "corrupt", 1);
    if (!model) {
      ++failures;
      EXPECT_FALSE(model.message().empty());
    } else {
      EXPECT_TRUE((*model)->invoke());
    }
  }
  EXPECT_GT(failures, 0);
  EXPECT_LT(failures, 40);  // damage to weights alone still loads and runs
}

// The face detector (concatenated outputs) and the mesh model (custom operators with their
// options, strided slice) exercise every host path.
INSTANTIATE_TEST_SUITE_P(Models, DamagedModel,
                         ::testing::Values("face_detection_short_range.tflite",
                                           "face_landmark_with_attention.tflite"));

TEST(Model, RefusesTensorsTooLargeToAllocate) {
  TestModel m;
  int in = m.tensor({1, 1 << 14, 1 << 14, 3}, "huge");
  int out = m.tensor({1, 1 << 14, 1 << 14, 3}, "out");
  m.operators.push_back({op::kRelu, "", {in}, {out}, 0, nullptr, {}});
  m.inputs = {in};
  m.outputs = {out};
  auto model = Model::loadBytes(m.bytes(), "huge", 1);
  ASSERT_FALSE(model);
  EXPECT_NE(model.message().find("too large"), std::string::npos) << model.message();
}

TEST(ModelFile, ReadsFlexbufferOptionsOfTheMeshModel) {
  auto path = vision::modelPath("face_landmark_with_attention.tflite");
  ASSERT_TRUE(path) << path.message();
  auto bytes = readFile(*path);
  FlatFile file(bytes);
  auto parsed = ModelFile::parse(file);
  ASSERT_TRUE(parsed) << parsed.message();
  int seen = 0;
  for (const auto& o : parsed->operators) {
    if (o.customCode != "Landmarks2TransformMatrix") continue;
    auto opts = parseFlexMap(o.customOptions);
    ASSERT_TRUE(opts) << opts.message();
    EXPECT_EQ(opts->at("output_width"), std::vector<double>{16});
    EXPECT_EQ(opts->at("scale_x"), std::vector<double>{1.5});
    // The lip crop is bounded by 80 lip points, each eye crop by 71 eye and brow points.
    EXPECT_EQ(opts->at("subset_idxs").size(), seen == 0 ? 80u : 71u);
    if (seen++ == 0) {
      EXPECT_EQ(opts->at("left_rotation_idx"), std::vector<double>{61});
      EXPECT_EQ(opts->at("right_rotation_idx"), std::vector<double>{291});
    }
  }
  EXPECT_EQ(seen, 3);
  EXPECT_FALSE(parseFlexMap(std::vector<uint8_t>{1, 2, 3}).isOk());
  EXPECT_FALSE(parseFlexMap(std::vector<uint8_t>{}).isOk());
}

TEST(Densify, ExpandsCompressedRows) {
  // [[0, 0, a], [b, c, 0]] stored as dense rows of compressed columns.
  SparsityDesc sp;
  sp.traversalOrder = {0, 1};
  sp.dims.resize(2);
  sp.dims[0].denseSize = 2;
  sp.dims[1].sparse = true;
  sp.dims[1].segments = {0, 1, 3};
  sp.dims[1].indices = {2, 0, 1};
  std::vector<float> values{1.5f, 2.5f, 3.5f};
  std::span<const uint8_t> raw(reinterpret_cast<const uint8_t*>(values.data()), 12);
  auto dense = densify(sp, {2, 3}, raw, 4);
  ASSERT_TRUE(dense) << dense.message();
  std::vector<float> got(6);
  std::memcpy(got.data(), dense->data(), 24);
  EXPECT_EQ(got, (std::vector<float>{0, 0, 1.5f, 2.5f, 3.5f, 0}));

  sp.dims[1].indices = {2, 0, 7};  // column out of range
  EXPECT_FALSE(densify(sp, {2, 3}, raw, 4));
  sp.dims[1].indices = {2, 0, 1};
  sp.dims[1].segments = {0, 1, 9};  // more values than stored
  EXPECT_FALSE(densify(sp, {2, 3}, raw, 4));
}

TEST(FlatFile, OutOfRangeOffsetsReadAsAbsent) {
  std::vector<uint8_t> bytes{200, 0, 0, 0, 1, 2, 3, 4};
  FlatFile f(bytes);
  EXPECT_FALSE(f.root().has_value());
  EXPECT_TRUE(f.malformed());
  EXPECT_FALSE(ModelFile::parse(f));
}

}  // namespace
}  // namespace talvex::vision::tflite
