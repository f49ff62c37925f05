// The points and rectangles of the vision code, in one place. Three coordinate conventions
// meet in it, and each type's name says which one it holds:
//
//  - Observations, what vision.h hands to the programs: normalised to 0..1 of the image, origin
//    at the LOWER left, y up (landmark points the same, relative to the face's box): `Point`,
//    `Rect`. These are the service's own vocabulary, as the frame record's logic reads it.
//  - Normalised, origin at the TOP left, y down, the way the models see pixels: `Normalized*`.
//  - Frame pixels, origin at the top left, y down (pixel (i, j) covers [i, i+1) x [j, j+1)):
//    `Pixel*`.
//
// Turning y over (y' = 1 - y) happens only where observations are made; nothing else mixes
// the conventions.
#pragma once

namespace talvex::vision {

// Normalised, origin at the lower left, y up.
struct Point {
  double x = 0;
  double y = 0;
};

// Normalised, origin at the lower left, y up: (x, y) is the lower-left corner.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// Normalised to the image, origin at the top left, y down.
struct NormalizedPoint {
  double x = 0;
  double y = 0;
};

// Normalised to the image, origin at the top left, y down: (x, y) is the top-left corner.
struct NormalizedRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// A rotated rectangle: centre and size normalised to the image (origin top left, y down),
// rotation in radians. Sizes are fractions of the image's width and height respectively, so a
// region that is square in pixels has width * imageWidth == height * imageHeight. A positive
// rotation turns the region clockwise on screen, so a point at the region's top edge lies to
// the right of the centre when rotation is +pi/2.
struct NormalizedRotatedRect {
  double xCenter = 0;
  double yCenter = 0;
  double width = 0;
  double height = 0;
  double rotation = 0;
};

// A detector's keypoint, normalised to the detector's square input (origin top left, y down).
struct NormalizedKeyPoint {
  float x = 0, y = 0;
};

// A keypoint in frame pixels.
struct PixelKeyPoint {
  float x = 0, y = 0;
};

// A point of a 3-D mesh: x and y in frame pixels, z depth in the same pixel scale, smaller
// nearer the camera.
struct PixelPoint3 {
  double x = 0, y = 0, z = 0;
};

// A point of a 3-D model (the canonical face): centimetres, x right, y up, z towards the viewer.
struct ModelPoint3 {
  double x = 0, y = 0, z = 0;
};

// An upright box in frame pixels.
struct PixelBox {
  double xmin = 0, ymin = 0, xmax = 0, ymax = 0;
  double width() const { return xmax - xmin; }
  double height() const { return ymax - ymin; }
};

// A box of normalised coordinates (origin at the lower left) in pixels of a w x h frame
// (origin at the top left).
inline PixelBox inPixels(const Rect& b, double w, double h) {
  return {b.x * w, (1 - b.y - b.height) * h, (b.x + b.width) * w, (1 - b.y) * h};
}

// A rectangle in frame pixels turned by `rotation` radians about its centre; a positive
// rotation turns it clockwise on screen. Its local x axis in the frame is (cos r, sin r), its
// local y axis (-sin r, cos r).
struct PixelRotatedRect {
  float centerX = 0;
  float centerY = 0;
  float width = 0;
  float height = 0;
  float rotation = 0;
};

}  // namespace talvex::vision
