#include "lumipose/analysis/analyzer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "lumipose/analysis/testing/fake_detector.h"

namespace talvex::lumipose {
namespace {

using testing::FakeDetector;
using vision::FaceObservation;
using vision::Point;

class AnalyzerTest : public ::testing::Test {
 protected:
  AnalyzerTest() {
    auto d = std::make_unique<FakeDetector>();
    fake = d.get();
    analyzer = std::make_unique<Analyzer>(std::move(d));
    frame = PixelBuffer::allocateNV12(60, 60);
    std::memset(frame.plane(0).base, 51, static_cast<size_t>(frame.plane(0).bytesPerRow) * 60);
  }
  FrameRecord line(double t = 0) { return analyzer->line(frame, t); }

  FakeDetector* fake;
  std::unique_ptr<Analyzer> analyzer;
  PixelBuffer frame;
};

FaceObservation face(double x, double y, double w, double h) {
  FaceObservation f;
  f.boundingBox = {x, y, w, h};
  return f;
}

// The worked example's landmarks.
vision::FaceLandmarks workedLandmarks() {
  vision::FaceLandmarks lm;
  lm.leftEye = std::vector<Point>{{0.2, 0.6}, {0.3, 0.6}};
  lm.rightEye = std::vector<Point>{{0.6, 0.6}, {0.7, 0.6}};
  lm.leftPupil = std::vector<Point>{{0.27, 0.61}};
  lm.rightPupil = std::vector<Point>{{0.67, 0.59}};
  lm.outerLips = std::vector<Point>{{0.3, 0.33}, {0.5, 0.28}, {0.7, 0.31}, {0.5, 0.2}};
  lm.innerLips = std::vector<Point>{{0.4, 0.27}, {0.6, 0.27}, {0.5, 0.24}};
  lm.leftEyebrow = std::vector<Point>{{0.2, 0.7}, {0.3, 0.72}};
  lm.rightEyebrow = std::vector<Point>{{0.6, 0.72}, {0.7, 0.7}};
  return lm;
}

vision::HandObservation wrist(double x, double y, float c) {
  vision::HandObservation h;
  h.setPoint(vision::HandJoint::Wrist, {{x, y}, c});
  return h;
}

vision::BodyObservation body(float left, float right) {
  vision::BodyObservation b;
  b.setPoint(vision::BodyJoint::LeftShoulder, {{0.6, 0.4}, left});
  b.setPoint(vision::BodyJoint::RightShoulder, {{0.3, 0.45}, right});
  return b;
}

TEST_F(AnalyzerTest, RoundsT) {
  EXPECT_EQ(line(1.23456)["t"], 1.235);
  EXPECT_EQ(line(0.0025)["t"], 0.003);
}

TEST_F(AnalyzerTest, FailedPerformGivesOnlyTimeAndZeroFaces) {
  fake->fail = true;
  EXPECT_EQ(line(2).dump(), R"({"t":2,"faces":0})");
}

TEST_F(AnalyzerTest, EmptyFrameHasFacesLumaAndEmptyHands) {
  EXPECT_EQ(line(0.5).dump(), R"({"t":0.5,"faces":0,"luma":[-1,0.2],"hands":[]})");
}

TEST_F(AnalyzerTest, WorkedExampleToTheLastDigit) {
  FaceObservation f = face(0.25, 0.5, 0.2, 0.3);
  f.landmarks = workedLandmarks();
  fake->landmarkFaces = std::vector<FaceObservation>{f};
  FrameRecord r = line();
  EXPECT_EQ(r["box"].dump(), "[0.25,0.2,0.2,0.3]");
  EXPECT_EQ(r["gaze"].dump(), "[0.2,0]");
  EXPECT_EQ(r["mouth"].dump(), "[1,0.075]");
  EXPECT_EQ(r["corner"].dump(), "0.1");
  EXPECT_EQ(r["brow"].dump(), "0.275");
  EXPECT_EQ(r["luma"].dump(), "[0.2,0.2]");
  // No pose results: angles come from the chosen face, which has none.
  EXPECT_EQ(r["yaw"], 0);
  EXPECT_EQ(r["roll"], 0);
  EXPECT_FALSE(r.contains("pitch"));
}

TEST_F(AnalyzerTest, ChoosesLargestFaceStablyAndPoseFaceSeparately) {
  FaceObservation small = face(0.1, 0.1, 0.2, 0.2), large = face(0.5, 0.5, 0.3, 0.3);
  fake->landmarkFaces = std::vector<FaceObservation>{small, large};
  FrameRecord r = line();
  EXPECT_EQ(r["faces"], 2);
  EXPECT_EQ(r["box"].dump(), "[0.5,0.2,0.3,0.3]");

  // Equal areas: the first in the detector's order wins, for both requests.
  FaceObservation a = face(0.1, 0.1, 0.2, 0.3), b = face(0.6, 0.6, 0.3, 0.2);
  a.yaw = 0.5;
  b.yaw = -0.25;
  fake->landmarkFaces = std::vector<FaceObservation>{a, b};
  fake->rectangleFaces = std::vector<FaceObservation>{a, b};
  r = line();
  EXPECT_EQ(r["box"][0], 0.1);
  EXPECT_EQ(r["yaw"], 28.648);

  // The pose request sees a large face that the landmarks request missed.
  FaceObservation poseLarge = face(0.4, 0.4, 0.5, 0.5), poseSmall = small;
  poseLarge.yaw = -0.25;
  poseLarge.roll = 0.1;
  poseLarge.pitch = 0.2;
  poseSmall.yaw = 0.5;
  fake->landmarkFaces = std::vector<FaceObservation>{small};
  fake->rectangleFaces = std::vector<FaceObservation>{poseSmall, poseLarge};
  r = line();
  EXPECT_EQ(r["box"].dump(), "[0.1,0.7,0.2,0.2]");
  EXPECT_EQ(r["yaw"], -14.324);
  EXPECT_EQ(r["roll"], 5.73);
  EXPECT_EQ(r["pitch"], 11.459);
}

TEST_F(AnalyzerTest, MeasuresDependOnTheirOwnRegionsOnly) {
  FaceObservation f = face(0.25, 0.5, 0.2, 0.3);
  vision::FaceLandmarks lm = workedLandmarks();
  lm.leftEye.reset();
  lm.rightEye.reset();
  lm.innerLips.reset();
  lm.outerLips->pop_back();  // 3 points: no mouth, no corner
  f.landmarks = lm;
  fake->landmarkFaces = std::vector<FaceObservation>{f};
  FrameRecord r = line();
  EXPECT_FALSE(r.contains("gaze"));
  EXPECT_FALSE(r.contains("mouth"));
  EXPECT_FALSE(r.contains("corner"));
  // Without eyes to measure by, the brow is still a number, not a division by zero.
  ASSERT_TRUE(r.contains("brow"));
  EXPECT_TRUE(std::isfinite(r["brow"].get<double>()));

  lm = workedLandmarks();
  lm.innerLips.reset();
  lm.leftPupil = std::vector<Point>{};
  f.landmarks = lm;
  fake->landmarkFaces = std::vector<FaceObservation>{f};
  r = line();
  EXPECT_FALSE(r.contains("gaze"));
  EXPECT_EQ(r["mouth"].dump(), "[1,0]");
}

TEST_F(AnalyzerTest, HandsAboveSinglePrecisionThreshold) {
  fake->hands = std::vector<vision::HandObservation>{wrist(0.5, 0.25, 0.8f), wrist(0.1, 0.1, 0.3f),
                                                     vision::HandObservation{}};
  EXPECT_EQ(line()["hands"].dump(), "[[0.5,0.75,0.8]]");
}

TEST_F(AnalyzerTest, ShouldersFromFirstBodyOnly) {
  fake->bodies = std::vector<vision::BodyObservation>{body(0.9f, 0.2f), body(0.9f, 0.9f)};
  fake->hands = std::vector<vision::HandObservation>{wrist(0.5, 0.25, 0.8f)};
  FrameRecord r = line();
  EXPECT_FALSE(r.contains("shoulders"));
  EXPECT_EQ(r["hands"].size(), 1u);
  fake->bodies = std::vector<vision::BodyObservation>{body(0.9f, 0.31f)};
  EXPECT_EQ(line()["shoulders"].dump(), "[[0.6,0.6],[0.3,0.55]]");
}

// The detectors follow one sequence of frames; the analyzer tells them when the frames stop
// following each other: the first frame, a step back or no step in t, a jump of more than
// half a second, or a new recording.
TEST_F(AnalyzerTest, NewSequenceOnFirstFrameJumpsStepsBackAndNewRecordings) {
  struct Step {
    double t;
    int started;
  };
  const Step steps[] = {{0.1, 1}, {0.2, 1}, {0.7, 1}, {1.3, 2}, {1.2, 3},
                        {1.2, 4}, {1.3, 4}, {1.8, 4}, {2.31, 5}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.t);
    analyzer->line(frame, s.t);
    EXPECT_EQ(fake->sequencesStarted, s.started);
  }
  analyzer->startSequence();
  analyzer->line(frame, 2.4);
  EXPECT_EQ(fake->sequencesStarted, 6);
  // A failed frame does not break the sequence by itself: the detector decides.
  fake->fail = true;
  analyzer->line(frame, 2.5);
  EXPECT_EQ(fake->sequencesStarted, 6);
}

}  // namespace
}  // namespace talvex::lumipose
