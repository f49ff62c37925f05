// Geometry and luma measures of one frame and its chosen face.
#pragma once

#include <span>

#include "platform/image/pixel_buffer.h"
#include "platform/vision/vision.h"

namespace talvex::lumipose {

// round(x * 1000) / 1000 in double precision, halves away from zero: the one rounding rule
// of every number in a frame record.
double r3(double x);

// Mean luma of plane 0 over `rect` (normalised, top-left origin), sampled on a 6-pixel grid
// that starts at the rectangle's clamped top-left pixel, scaled to 0..1; -1 when nothing can
// be sampled. Limited-range samples are read as the full-range values they stand for.
double luma(const PixelBuffer& buffer, const vision::NormalizedRect& rect);

// Mean of the points; (0, 0) for an empty list.
vision::Point centre(std::span<const vision::Point> points);

struct Extent {
  double minX, maxX, minY, maxY;
};
// Bounding extent; an empty list gives (DBL_MAX, -DBL_MAX, DBL_MAX, -DBL_MAX).
Extent extent(std::span<const vision::Point> points);

}  // namespace talvex::lumipose
