// The vision service: four kinds of request, performed together on one frame by a Detector,
// each keeping the results of its last perform. All coordinates are normalised to 0..1 of
// the image with the origin at the lower left and y growing upwards; landmark points are
// normalised to the face's bounding box the same way; angles are radians; confidences 0..1.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <vector>

#include "platform/image/pixel_buffer.h"
#include "platform/process/result.h"
#include "platform/vision/geometry.h"

namespace talvex::vision {

// One landmark region: an ordered point list; an absent region is nullopt.
using Region = std::optional<std::vector<Point>>;

struct FaceLandmarks {
  // "left" and "right" are the subject's own left and right.
  Region leftEye, rightEye;
  Region leftPupil, rightPupil;  // a single point each: the iris centre
  Region outerLips, innerLips;
  Region leftEyebrow, rightEyebrow;
};

struct FaceObservation {
  Rect boundingBox;
  std::optional<double> yaw, roll, pitch;
  std::optional<FaceLandmarks> landmarks;
};

struct RecognizedPoint {
  Point location;
  float confidence = 0;
};

enum class HandJoint { Wrist };
enum class BodyJoint { LeftShoulder, RightShoulder };

// Joint lookups fail (nullopt) for joints the detector did not give.
template <class Joint>
class PoseObservation {
 public:
  std::optional<RecognizedPoint> recognizedPoint(Joint joint) const {
    auto it = points_.find(joint);
    if (it == points_.end()) return std::nullopt;
    return it->second;
  }
  void setPoint(Joint joint, RecognizedPoint p) { points_[joint] = p; }

 private:
  std::map<Joint, RecognizedPoint> points_;
};

using HandObservation = PoseObservation<HandJoint>;
using BodyObservation = PoseObservation<BodyJoint>;

enum class RequestKind { FaceLandmarks, FaceRectangles, HumanBodyPose, HumanHandPose };

class Request {
 public:
  virtual ~Request() = default;
  virtual RequestKind kind() const = 0;
};

// Finds faces with their landmark regions.
class DetectFaceLandmarksRequest : public Request {
 public:
  RequestKind kind() const override { return RequestKind::FaceLandmarks; }
  std::optional<std::vector<FaceObservation>> results;
};

// Finds face rectangles with head angles (yaw, roll, pitch).
class DetectFaceRectanglesRequest : public Request {
 public:
  RequestKind kind() const override { return RequestKind::FaceRectangles; }
  std::optional<std::vector<FaceObservation>> results;
};

class DetectHumanBodyPoseRequest : public Request {
 public:
  RequestKind kind() const override { return RequestKind::HumanBodyPose; }
  std::optional<std::vector<BodyObservation>> results;
};

class DetectHumanHandPoseRequest : public Request {
 public:
  RequestKind kind() const override { return RequestKind::HumanHandPose; }
  int maximumHandCount = 2;
  std::optional<std::vector<HandObservation>> results;
};

// The detectors behind the requests. perform() runs every request in `requests` on `image`
// (upright; NV12 full range, or a decoder's I420 picture in its own range and matrix),
// replacing each request's results; on failure the results are unspecified and the caller
// must not read them. One thread at a time.
//
// Consecutive performs are taken for consecutive frames of one sequence (one movie, one
// recording): a detector may follow what it found in the previous frame instead of searching
// the whole frame again. startSequence() says the next frame does not follow the last one
// (a new recording, a cut, a seek), so nothing is carried over.
class Detector {
 public:
  virtual ~Detector() = default;
  virtual Status perform(const PixelBuffer& image, std::span<Request* const> requests) = 0;
  virtual void startSequence() {}
};

}  // namespace talvex::vision
