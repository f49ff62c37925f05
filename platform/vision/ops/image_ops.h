// Image preparation for the detection models: one RGB conversion per frame, then crops of
// (possibly rotated) regions into float tensors, each returning the transform that maps
// tensor coordinates back to frame pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/image/pixel_buffer.h"
#include "platform/process/result.h"
#include "platform/vision/geometry.h"

namespace talvex::vision {

struct LetterboxSource;

// 8-bit RGB, rows of width * 3 bytes, top row first.
struct RgbImage {
  RgbImage() = default;
  RgbImage(int w, int h, std::vector<uint8_t> rgb) : width(w), height(h), pixels(std::move(rgb)) {}

  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
  // Where letterboxes of the whole frame are scaled from instead of from every pixel of a
  // large frame: a reduced copy of the same picture, made by the first letterbox that needs it
  // and then shared by the others (across threads too); nothing when none was asked for. Set
  // by addLetterboxSource(); convertToRgb() drops it, and so must anything else that changes
  // the pixels.
  std::shared_ptr<LetterboxSource> letterboxSource;
  const uint8_t* row(int y) const { return pixels.data() + static_cast<size_t>(y) * width * 3; }
};

// Converts a frame to RGB, reusing `out`'s storage: NV12 or I420, in the frame's range and
// matrix (each pixel's chroma sample as it is, no interpolation).
Status convertToRgb(const PixelBuffer& frame, RgbImage& out);

// Asks for a reduced copy of `image` (libyuv's box filter) whose sides are twice
// those of the largest whole-frame letterbox, up to `largestTensor` on a side, so that each
// such letterbox still takes two or more of its pixels per tensor pixel. Cheap: the copy is
// made only when a letterbox first needs it, so frames on which no detector runs cost
// nothing. Frames not much larger than the copy get none.
void addLetterboxSource(RgbImage& image, int largestTensor);

// The reduced copy, made now if it was not yet; nullptr when `image` has none.
const RgbImage* reducedCopy(const RgbImage& image);

// Maps normalised tensor coordinates (s, t in 0..1 across the tensor, y down) to frame pixels.
struct CropTransform {
  double centerX = 0, centerY = 0;
  double axX = 1, axY = 0;  // frame vector of one full tensor width
  double ayX = 0, ayY = 1;  // frame vector of one full tensor height
  void map(double s, double t, double& x, double& y) const {
    x = centerX + (s - 0.5) * axX + (t - 0.5) * ayX;
    y = centerY + (s - 0.5) * axY + (t - 0.5) * ayY;
  }
  // The inverse: frame pixels to normalised tensor coordinates.
  void unmap(double x, double y, double& s, double& t) const;
};

// Samples `roi` into a w x h x 3 float tensor (NHWC, RGB) with values scaled from 0..255 to
// lo..hi; outside the frame is black (lo). Bilinear sampling.
CropTransform warpToTensor(const RgbImage& image, const PixelRotatedRect& roi, int w, int h,
                           float lo, float hi, float* dst);

// The whole frame scaled to fit a size x size tensor, centred, padded with black (lo); from
// the frame's reduced copy when that has at least twice the pixels across the tensor needs.
struct Letterbox {
  CropTransform transform;
  float padX = 0;  // padding on each side, as a fraction of the tensor width
  float padY = 0;  // likewise of the tensor height
};
Letterbox letterboxToTensor(const RgbImage& image, int size, float lo, float hi, float* dst);

// The same for the part of the frame inside `region` (frame pixels, clipped to the frame); the
// transform maps back to whole-frame pixels.
Letterbox letterboxToTensor(const RgbImage& image, const PixelBox& region, int size, float lo,
                            float hi, float* dst);

// Overlapping square tiles covering a width x height frame, each side two thirds of the
// frame's shorter side, so that a detector sees a far-away face or hand at one and a half
// times the size the whole letterboxed frame shows it (faces up to a sixth of a tile wide
// lie wholly inside one tile). Empty for frames too small to be worth tiling.
std::vector<PixelBox> overlappingTiles(int width, int height);

}  // namespace talvex::vision
