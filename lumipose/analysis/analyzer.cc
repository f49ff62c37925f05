#include "lumipose/analysis/analyzer.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "lumipose/analysis/face_measures.h"

namespace talvex::lumipose {
namespace {

using vision::FaceObservation;
using vision::Point;
using vision::Region;

constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr float kMinConfidence = 0.3f;

// A number as the record holds it: whole values are written without a fraction ("1", not
// "1.0"), which JSON readers take as the same number.
nlohmann::ordered_json num(double v) {
  if (v == std::trunc(v) && std::fabs(v) < 9e15) return static_cast<int64_t>(v);
  return v;
}

std::span<const Point> points(const Region& r) {
  if (!r) return {};
  return *r;
}

double area(const FaceObservation& f) { return f.boundingBox.width * f.boundingBox.height; }

void addLandmarkMeasures(FrameRecord& rec, const vision::FaceLandmarks& lm) {
  const Point L = centre(points(lm.leftEye));
  const Point R = centre(points(lm.rightEye));
  const double e = std::hypot(L.x - R.x, L.y - R.y);
  const double d = std::max(e, 0.0001);

  if (!points(lm.leftPupil).empty() && !points(lm.rightPupil).empty() &&
      !points(lm.leftEye).empty() && !points(lm.rightEye).empty()) {
    const Point P = points(lm.leftPupil).front();
    const Point Q = points(lm.rightPupil).front();
    const Extent el = extent(points(lm.leftEye));
    const Extent er = extent(points(lm.rightEye));
    const double wL = std::max(el.maxX - el.minX, 0.0001);
    const double wR = std::max(er.maxX - er.minX, 0.0001);
    const double gx = ((P.x - L.x) / wL + (Q.x - R.x) / wR) * 0.5;
    const double gy = ((P.y - L.y) / wL + (Q.y - R.y) / wR) * 0.5;
    rec["gaze"] = {num(r3(gx)), num(r3(gy))};
  }

  const auto outer = points(lm.outerLips);
  if (outer.size() >= 4) {
    const Extent eo = extent(outer);
    const double width = eo.maxX - eo.minX;
    const auto inner = points(lm.innerLips);
    double opening = 0;
    if (!inner.empty()) {
      const Extent ei = extent(inner);
      opening = ei.maxY - ei.minY;
    }
    rec["mouth"] = {num(r3(width / d)), num(r3(opening / d))};

    Point left = outer.front(), right = outer.front();
    for (const Point& p : outer) {
      if (p.x < left.x) left = p;
      if (p.x > right.x) right = p;
    }
    const double lift = ((left.y + right.y) * 0.5 - centre(outer).y) / d;
    rec["corner"] = num(r3(lift));
  }

  const auto lb = points(lm.leftEyebrow), rb = points(lm.rightEyebrow);
  if (!lb.empty() && !rb.empty()) {
    const double brow = ((centre(lb).y - L.y) + (centre(rb).y - R.y)) * 0.5 / d;
    rec["brow"] = num(r3(brow));
  }
}

}  // namespace

Analyzer::Analyzer(std::unique_ptr<vision::Detector> detectors) : detector(std::move(detectors)) {
  handReq.maximumHandCount = 2;
}

void Analyzer::startSequence() { lastT.reset(); }

FrameRecord Analyzer::line(const PixelBuffer& frame, double t) {
  FrameRecord rec = FrameRecord::object();
  rec["t"] = num(r3(t));

  // A frame at the same moment as the last is not its successor either: no following.
  if (!lastT || !(t > *lastT && t - *lastT <= kMaxFollowGap)) detector->startSequence();
  lastT = t;

  const std::array<vision::Request*, 4> requests{&poseReq, &faceReq, &handReq, &bodyReq};
  if (!detector->perform(frame, requests)) {
    rec["faces"] = 0;
    return rec;
  }

  std::vector<FaceObservation> faces = faceReq.results.value_or(std::vector<FaceObservation>{});
  std::stable_sort(
      faces.begin(), faces.end(),
      [](const FaceObservation& a, const FaceObservation& b) { return area(a) > area(b); });
  rec["faces"] = static_cast<int64_t>(faces.size());

  const double frameLuma = luma(frame, vision::NormalizedRect{0, 0, 1, 1});

  if (faces.empty()) {
    rec["luma"] = {-1, num(r3(frameLuma))};
  } else {
    const FaceObservation& face = faces.front();
    const vision::Rect& bb = face.boundingBox;
    const vision::NormalizedRect topLeft{bb.x, 1 - (bb.y + bb.height), bb.width, bb.height};
    rec["box"] = {num(r3(topLeft.x)), num(r3(topLeft.y)), num(r3(topLeft.width)),
                  num(r3(topLeft.height))};

    const FaceObservation* poseFace = &face;
    if (poseReq.results && !poseReq.results->empty()) {
      poseFace = &poseReq.results->front();
      for (const auto& f : *poseReq.results)
        if (area(f) > area(*poseFace)) poseFace = &f;
    }
    rec["yaw"] = num(r3(poseFace->yaw.value_or(0) * kDegreesPerRadian));
    rec["roll"] = num(r3(poseFace->roll.value_or(0) * kDegreesPerRadian));
    if (poseFace->pitch) rec["pitch"] = num(r3(*poseFace->pitch * kDegreesPerRadian));

    rec["luma"] = {num(r3(luma(frame, topLeft))), num(r3(frameLuma))};
    if (face.landmarks) addLandmarkMeasures(rec, *face.landmarks);
  }

  FrameRecord hands = FrameRecord::array();
  if (handReq.results) {
    for (const auto& hand : *handReq.results) {
      auto wrist = hand.recognizedPoint(vision::HandJoint::Wrist);
      if (!wrist || !(wrist->confidence > kMinConfidence)) continue;
      hands.push_back({num(r3(wrist->location.x)), num(r3(1 - wrist->location.y)),
                       num(r3(static_cast<double>(wrist->confidence)))});
    }
  }
  rec["hands"] = std::move(hands);

  if (bodyReq.results && !bodyReq.results->empty()) {
    const auto& body = bodyReq.results->front();
    auto l = body.recognizedPoint(vision::BodyJoint::LeftShoulder);
    auto r = body.recognizedPoint(vision::BodyJoint::RightShoulder);
    if (l && r && l->confidence > kMinConfidence && r->confidence > kMinConfidence) {
      rec["shoulders"] = {{num(r3(l->location.x)), num(r3(1 - l->location.y))},
                          {num(r3(r->location.x)), num(r3(1 - r->location.y))}};
    }
  }
  return rec;
}

}  // namespace talvex::lumipose
