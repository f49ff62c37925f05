// Cost of the frame-record logic around the detectors: luma sampling and record building.
#include <benchmark/benchmark.h>

#include <cstring>

#include "lumipose/analysis/face_measures.h"

namespace {

void BM_FrameLuma720p(benchmark::State& state) {
  auto frame = talvex::PixelBuffer::allocateNV12(1280, 720);
  std::memset(frame.plane(0).base, 128, static_cast<size_t>(frame.plane(0).bytesPerRow) * 720);
  for (auto _ : state) benchmark::DoNotOptimize(talvex::lumipose::luma(frame, {0, 0, 1, 1}));
}
BENCHMARK(BM_FrameLuma720p);

}  // namespace

BENCHMARK_MAIN();
