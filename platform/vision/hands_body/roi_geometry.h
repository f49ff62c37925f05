// Geometry shared by the two-stage hand and body pipelines: a detector finds a coarse box with
// a few keypoints on the whole (letterboxed) frame, and a rotated square region of interest is
// cut around it so that the limb points up for the landmark model.
//
// Everything here works in normalised image coordinates with the origin at the TOP-left and
// y growing downwards (the way the models see pixels); the observations turn y over at the
// very end. Sizes are fractions of the image's width and height respectively, so a region that
// is square in pixels has width * imageWidth == height * imageHeight.
#pragma once

#include <span>

#include "platform/vision/ops/image_ops.h"

namespace talvex::vision::roi {

// Wraps an angle into [-pi, pi).
double normalizeRadians(double angle);

// The rotation that makes the direction from `from` to `to` point straight up in the region.
// The points are normalised; the image size makes the angle a true pixel angle.
double uprightRotation(NormalizedPoint from, NormalizedPoint to, int imageWidth, int imageHeight);

// Shifts a region along its own axes (by fractions of its size), makes it square in pixels
// on its longer side when asked, then scales it.
struct RoiTransform {
  double scaleX = 1;
  double scaleY = 1;
  double shiftX = 0;
  double shiftY = 0;
  bool squareLong = false;
};

NormalizedRotatedRect transformRoi(const NormalizedRotatedRect& roi, const RoiTransform& t,
                                   int imageWidth, int imageHeight);

// The hand region from a palm detection: the palm box (centre and size normalised to the
// frame), its wrist keypoint and its middle-finger knuckle. The palm box is turned so the
// fingers point up, moved towards the fingers and grown to hold the whole hand.
NormalizedRotatedRect handRoiFromPalm(NormalizedPoint boxCenter, double boxWidth, double boxHeight,
                                      NormalizedPoint wrist, NormalizedPoint middleKnuckle,
                                      int imageWidth, int imageHeight);

// The body region from a person detection: `hipCenter` is the region's centre and the
// distance to `scalePoint` its half size; the direction hips -> scale point points up.
NormalizedRotatedRect bodyRoiFromDetection(NormalizedPoint hipCenter, NormalizedPoint scalePoint,
                                           int imageWidth, int imageHeight);

// The region for the next frame from a hand's 21 landmarks (normalised, in the model's
// order): turned so the wrist-to-knuckles direction points up, bounding the palm and finger
// bases, then grown to hold the whole hand the way the palm region is. This is how a hand
// found in one frame is followed into the next without the palm detector.
NormalizedRotatedRect handRoiFromLandmarks(std::span<const NormalizedPoint> landmarks,
                                           int imageWidth, int imageHeight);

// False for regions a landmark model cannot be run on: not finite (a model gave NaN) or
// without area.
bool isUsable(const NormalizedRotatedRect& roi);

// The region in frame pixels, for cropping.
PixelRotatedRect toPixels(const NormalizedRotatedRect& roi, int imageWidth, int imageHeight);

}  // namespace talvex::vision::roi
