// Geometry shared by the two-stage hand and body pipelines: a detector finds a coarse box with
// a few keypoints on the whole (letterboxed) frame, and a rotated square region of interest is
// cut around it so that the limb points up for the landmark model.
//
// Everything here works in normalised image coordinates with the origin at the TOP-left and
// y growing downwards (the way the models see pixels); the observations turn y over at the
// very end. Sizes are fractions of the image's width and height respectively, so a region that
// is square in pixels has width * imageWidth == height * imageHeight.
#pragma once

#include "platform/vision/ops/image_ops.h"

namespace talvex::vision::roi {

struct Point2 {
  double x = 0;
  double y = 0;
};

// A rotated rectangle: centre and size normalised to the image, rotation in radians. A
// positive rotation turns the region clockwise on screen (y grows downwards), so a point
// at the region's top edge lies to the right of the centre when rotation is +pi/2.
struct NormalizedRoi {
  double xCenter = 0;
  double yCenter = 0;
  double width = 0;
  double height = 0;
  double rotation = 0;
};

// Wraps an angle into [-pi, pi).
double normalizeRadians(double angle);

// The rotation that makes the direction from `from` to `to` point straight up in the region.
// The points are normalised; the image size makes the angle a true pixel angle.
double uprightRotation(Point2 from, Point2 to, int imageWidth, int imageHeight);

// Shifts a region along its own axes (by fractions of its size), makes it square in pixels
// on its longer side when asked, then scales it.
struct RoiTransform {
  double scaleX = 1;
  double scaleY = 1;
  double shiftX = 0;
  double shiftY = 0;
  bool squareLong = false;
};

NormalizedRoi transformRoi(const NormalizedRoi& roi, const RoiTransform& t, int imageWidth,
                           int imageHeight);

// The hand region from a palm detection: the palm box (centre and size normalised to the
// frame), its wrist keypoint and its middle-finger knuckle. The palm box is turned so the
// fingers point up, moved towards the fingers and grown to hold the whole hand.
NormalizedRoi handRoiFromPalm(Point2 boxCenter, double boxWidth, double boxHeight, Point2 wrist,
                              Point2 middleKnuckle, int imageWidth, int imageHeight);

// The body region from a person detection: `hipCenter` is the region's centre and the
// distance to `scalePoint` its half size; the direction hips -> scale point points up.
NormalizedRoi bodyRoiFromDetection(Point2 hipCenter, Point2 scalePoint, int imageWidth,
                                   int imageHeight);

// False for regions a landmark model cannot be run on: not finite (a model gave NaN) or
// without area.
bool isUsable(const NormalizedRoi& roi);

// The region in frame pixels, for cropping.
RotatedRect toPixels(const NormalizedRoi& roi, int imageWidth, int imageHeight);

}  // namespace talvex::vision::roi
