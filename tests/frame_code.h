// A frame's number drawn into the picture, for the tests that follow frames from a camera into
// the finished movie: 12 white-or-black boxes across the middle of a 1280x720 picture, bit 0 on
// the left; 4096 frames, over two minutes at 30 fps. Cameras draw it (the played camera through
// an FFmpeg graph, the PipeWire test camera by hand); the sync test reads it back.
#pragma once

#include <cstdint>
#include <string>

namespace talvex::testing::frame_code {

constexpr int kBits = 12;
constexpr int kBoxLeft = 40, kBoxPitch = 100, kBoxTop = 300, kBoxWidth = 80, kBoxHeight = 120;

constexpr int boxLeft(int bit) { return kBoxLeft + bit * kBoxPitch; }

// Whether the picture's pixel (x, y) lies in a box that is white for frame n.
constexpr bool white(int64_t n, int x, int y) {
  if (y < kBoxTop || y >= kBoxTop + kBoxHeight || x < kBoxLeft) return false;
  const int bit = (x - kBoxLeft) / kBoxPitch;
  return bit < kBits && x - boxLeft(bit) < kBoxWidth && ((n >> bit) & 1);
}

// An FFmpeg filter graph of a black 1280x720 camera at `fps` that draws its frame numbers.
inline std::string ffmpegGraph(int fps) {
  std::string graph = "color=c=black:size=1280x720:rate=" + std::to_string(fps);
  for (int b = 0; b < kBits; ++b) {
    graph += ",drawbox=x=" + std::to_string(boxLeft(b)) + ":y=" + std::to_string(kBoxTop) +
             ":w=" + std::to_string(kBoxWidth) + ":h=" + std::to_string(kBoxHeight) +
             ":color=white:t=fill:enable='mod(floor(n/" + std::to_string(1 << b) + "),2)'";
  }
  return graph;
}

// The frame number in a picture's luma plane.
inline int64_t read(const uint8_t* luma, int bytesPerRow) {
  int64_t n = 0;
  for (int b = 0; b < kBits; ++b) {
    const int x = boxLeft(b) + kBoxWidth / 2, y = kBoxTop + kBoxHeight / 2;
    if (luma[y * bytesPerRow + x] > 128) n |= int64_t{1} << b;
  }
  return n;
}

}  // namespace talvex::testing::frame_code
