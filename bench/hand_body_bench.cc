// Cost of the hand and body models, one by one and as whole pipelines, with one and two
// threads. Inputs are real pictures (a webcam frame with a raised hand, placed on a 1280x720
// frame as the camera delivers it), so the crops and detections are the ones met in use.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "platform/vision/hands_body/body_pipeline.h"
#include "platform/vision/hands_body/hand_pipeline.h"
#include "platform/vision/hands_body/hand_search.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/ops/model_check.h"
#include "platform/vision/testing/photos.h"

namespace {

using namespace talvex::vision;

const RgbImage& cameraFrame() {
  static const RgbImage frame = [] {
    RgbImage img;
    auto nv12 = testing::loadMovieFrame(
        testing::webcamClipPath(), 1175,
        {.width = 960, .height = 720, .canvasWidth = 1280, .canvasHeight = 720, .canvasX = 160});
    if (nv12.planeCount() == 0 || !convertToRgb(nv12, img)) {
      std::fprintf(stderr, "hand_body_bench: test clip missing (run make setup)\n");
      std::exit(1);
    }
    return img;
  }();
  return frame;
}

// One model on a picture-filled input: args are the thread count. Landmark models compute only
// the outputs the pipelines read, as they do in use.
void runModel(benchmark::State& state, const char* file, int size, float lo,
              const std::vector<std::string>& outputs = {}) {
  auto model = loadModel(file, static_cast<int>(state.range(0)), outputs);
  if (!model) {
    state.SkipWithError(model.message().c_str());
    return;
  }
  PixelRotatedRect centre{640, 360, 720, 720, 0};
  warpToTensor(cameraFrame(), centre, size, size, lo, 1.0f, (*model)->input(0));
  for (auto _ : state) {
    if (!(*model)->invoke()) state.SkipWithError("invoke failed");
  }
}

void BM_PalmDetectionLite(benchmark::State& s) {
  runModel(s, "palm_detection_lite.tflite", 192, 0);
}
void BM_PalmDetectionFull(benchmark::State& s) {
  runModel(s, "palm_detection_full.tflite", 192, 0);
}
void BM_HandLandmarkLite(benchmark::State& s) {
  runModel(s, "hand_landmark_lite.tflite", 224, 0, {"Identity", "Identity_1"});
}
void BM_HandLandmarkFull(benchmark::State& s) {
  runModel(s, "hand_landmark_full.tflite", 224, 0, {"Identity", "Identity_1"});
}
void BM_PoseDetection(benchmark::State& s) { runModel(s, "pose_detection.tflite", 224, -1); }
void BM_PoseLandmarkLite(benchmark::State& s) {
  runModel(s, "pose_landmark_lite.tflite", 256, 0, {"Identity", "Identity_1"});
}
void BM_PoseLandmarkFull(benchmark::State& s) {
  runModel(s, "pose_landmark_full.tflite", 256, 0, {"Identity", "Identity_1"});
}

// The shipped pipelines on the 1280x720 frame: arg is the thread count of every model.
void BM_HandPipeline(benchmark::State& state) {
  const int t = static_cast<int>(state.range(0));
  HandModelChoice choice;
  choice.palmThreads = choice.landmarkThreads = t;
  auto hands = HandPipeline::load(choice);
  if (!hands) {
    state.SkipWithError(hands.message().c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize((*hands)->detect(cameraFrame(), 2));
}

// A person far away: the webcam frame shrunk to a face ~52 px and a hand ~40 px wide in a
// 1280x720 frame. The palm detector runs on the whole frame (where the hand is too small to be
// found) and on the region around the face, as on a detecting frame; arg 0 leaves the region out
// (the cost of a detecting frame before the search).
void BM_HandPipelineFarPerson(benchmark::State& state) {
  static const RgbImage far = [] {
    RgbImage img;
    auto nv12 = testing::loadMovieFrame(testing::webcamClipPath(), 1175,
                                        {.width = 200,
                                         .height = 150,
                                         .canvasWidth = 1280,
                                         .canvasHeight = 720,
                                         .canvasX = 200,
                                         .canvasY = 345});
    if (nv12.planeCount() == 0 || !convertToRgb(nv12, img)) std::exit(1);
    return img;
  }();
  auto hands = HandPipeline::load();
  if (!hands) {
    state.SkipWithError(hands.message().c_str());
    return;
  }
  // The face lies at about x 83..135, y 54..119 of the 200x150 picture.
  const PixelBox region = handSearchRegion({283, 399, 335, 464}, far.width, far.height);
  const std::span<const PixelBox> regions =
      state.range(0) ? std::span<const PixelBox>(&region, 1) : std::span<const PixelBox>();
  size_t found = 0;
  for (auto _ : state) {
    auto h = (*hands)->detect(far, 2, regions);
    found = h ? h->size() : 0;
  }
  state.counters["hands"] = static_cast<double>(found);
}

void BM_BodyPipeline(benchmark::State& state) {
  const int t = static_cast<int>(state.range(0));
  BodyModelChoice choice;
  choice.detectorThreads = choice.landmarkThreads = t;
  auto body = BodyPipeline::load(choice);
  if (!body) {
    state.SkipWithError(body.message().c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize((*body)->detect(cameraFrame()));
}

// Medians of a few short repetitions: the machine is shared, so single runs wander.
#define TALVEX_MODEL_BENCH(fn)        \
  BENCHMARK(fn)                       \
      ->Arg(1)                        \
      ->Arg(2)                        \
      ->Unit(benchmark::kMillisecond) \
      ->Repetitions(5)                \
      ->ReportAggregatesOnly(true)    \
      ->MinTime(0.1)

TALVEX_MODEL_BENCH(BM_PalmDetectionLite);
TALVEX_MODEL_BENCH(BM_PalmDetectionFull);
TALVEX_MODEL_BENCH(BM_HandLandmarkLite);
TALVEX_MODEL_BENCH(BM_HandLandmarkFull);
TALVEX_MODEL_BENCH(BM_PoseDetection);
TALVEX_MODEL_BENCH(BM_PoseLandmarkLite);
TALVEX_MODEL_BENCH(BM_PoseLandmarkFull);
TALVEX_MODEL_BENCH(BM_HandPipeline);
TALVEX_MODEL_BENCH(BM_BodyPipeline);
BENCHMARK(BM_HandPipelineFarPerson)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->MinTime(0.1);

}  // namespace

BENCHMARK_MAIN();
