// The hand and body pipelines on real pictures: webcam frames of a man raising his hand to
// his chin, and portraits. Expected positions were read off the pictures by eye (pixels of
// the picture, top-left origin) and are compared with generous but meaningful tolerances.
#include <algorithm>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/vision/hands_body/body_pipeline.h"
#include "platform/vision/hands_body/hand_pipeline.h"
#include "platform/vision/hands_body/two_stage_models.h"
#include "platform/vision/ops/model_check.h"
#include "platform/vision/testing/failing_model.h"
#include "platform/vision/testing/photos.h"

namespace talvex::vision {
namespace {

namespace tp = testing;

struct Spot {
  double x = 0;  // normalised, top-left origin
  double y = 0;
  float confidence = 0;
};

RgbImage rgbOf(const PixelBuffer& frame) {
  RgbImage img;
  EXPECT_GT(frame.planeCount(), 0) << "test picture missing (run make setup)";
  if (frame.planeCount() > 0) {
    EXPECT_TRUE(convertToRgb(frame, img).isOk());
  }
  return img;
}

// The observations of a run that must have succeeded.
template <class T>
std::vector<T> ok(const Result<std::vector<T>>& found) {
  EXPECT_TRUE(found) << found.message();
  return found ? found.value() : std::vector<T>{};
}

std::vector<Spot> wrists(const Result<std::vector<HandObservation>>& found) {
  std::vector<Spot> out;
  for (const auto& h : ok(found)) {
    // A wrist the model places well outside the picture is not offered, as in the record.
    auto w = h.recognizedPoint(HandJoint::Wrist);
    if (w) out.push_back({w->location.x, 1 - w->location.y, w->confidence});
  }
  return out;
}

struct Shoulders {
  Spot left, right;
};

std::optional<Shoulders> shouldersOf(const Result<std::vector<BodyObservation>>& found) {
  const std::vector<BodyObservation> bodies = ok(found);
  if (bodies.empty()) return std::nullopt;
  auto l = bodies.front().recognizedPoint(BodyJoint::LeftShoulder);
  auto r = bodies.front().recognizedPoint(BodyJoint::RightShoulder);
  if (!l || !r) return std::nullopt;
  return Shoulders{{l->location.x, 1 - l->location.y, l->confidence},
                   {r->location.x, 1 - r->location.y, r->confidence}};
}

// Frames of the webcam clip (400x300, 25 fps) where one hand is up at the chin, with the
// wrist as seen by eye: it sits on the bottom edge of the picture each time.
struct HandFrame {
  int index;
  double wristX, wristY;  // pixels
};
constexpr HandFrame kHandFrames[] = {
    {1100, 340, 298},  // right of the face, fingers up and to the left
    {1175, 105, 300},  // left of the face, fingers up and to the right
    {1225, 150, 300},  // fist under the chin
};
constexpr int kNoHandFrame = 100;  // face and shoulders only
constexpr double kClipW = 400, kClipH = 300;

class HandBodyPipelines : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto h = HandPipeline::load();
    ASSERT_TRUE(h) << h.message();
    hands_ = std::move(*h);
    auto b = BodyPipeline::load();
    ASSERT_TRUE(b) << b.message();
    bodies_ = std::move(*b);
  }
  static void TearDownTestSuite() {
    hands_.reset();
    bodies_.reset();
  }
  void SetUp() override { ASSERT_TRUE(hands_ && bodies_); }

  static std::unique_ptr<HandPipeline> hands_;
  static std::unique_ptr<BodyPipeline> bodies_;
};
std::unique_ptr<HandPipeline> HandBodyPipelines::hands_;
std::unique_ptr<BodyPipeline> HandBodyPipelines::bodies_;

std::vector<int> handFrameIndices() {
  std::vector<int> v;
  for (const auto& f : kHandFrames) v.push_back(f.index);
  return v;
}

TEST_F(HandBodyPipelines, WristOfARaisedHandIsFound) {
  auto frames = tp::loadMovieFrames(tp::webcamClipPath(), handFrameIndices());
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(kHandFrames[i].index);
    auto found = wrists(hands_->detect(rgbOf(frames[i]), 2));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].x, kHandFrames[i].wristX / kClipW, 0.06);
    EXPECT_NEAR(found[0].y, kHandFrames[i].wristY / kClipH, 0.06);
    EXPECT_GT(found[0].confidence, 0.9f);
    EXPECT_LE(found[0].confidence, 1.0f);
  }
}

TEST_F(HandBodyPipelines, MirroredFrameGivesTheMirroredWrist) {
  auto plainFrames = tp::loadMovieFrames(tp::webcamClipPath(), handFrameIndices());
  auto mirroredFrames =
      tp::loadMovieFrames(tp::webcamClipPath(), handFrameIndices(), {.mirror = true});
  for (size_t i = 0; i < plainFrames.size(); ++i) {
    SCOPED_TRACE(kHandFrames[i].index);
    auto plain = wrists(hands_->detect(rgbOf(plainFrames[i]), 2));
    auto mirrored = wrists(hands_->detect(rgbOf(mirroredFrames[i]), 2));
    ASSERT_EQ(plain.size(), 1u);
    ASSERT_EQ(mirrored.size(), 1u);
    EXPECT_NEAR(mirrored[0].x, 1 - plain[0].x, 0.03);
    EXPECT_NEAR(mirrored[0].y, plain[0].y, 0.03);
  }
}

TEST_F(HandBodyPipelines, TurnedFrameGivesTheTurnedWrist) {
  // Turned a quarter clockwise the hand points right and the crop must be turned to match;
  // a wrong sign anywhere in the rotation shows the landmark model a sideways or upside-down
  // hand, which it rejects or misplaces. A point (x, y) moves to (1 - y, x).
  const HandFrame& f = kHandFrames[1];
  auto plain = wrists(hands_->detect(rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), f.index)), 2));
  ASSERT_EQ(plain.size(), 1u);
  for (int turns : {1, 3}) {
    SCOPED_TRACE(turns);
    auto turned = wrists(hands_->detect(
        rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), f.index, {.quarterTurns = turns})), 2));
    ASSERT_EQ(turned.size(), 1u);
    const double x = turns == 1 ? 1 - plain[0].y : plain[0].y;
    const double y = turns == 1 ? plain[0].x : 1 - plain[0].x;
    EXPECT_NEAR(turned[0].x, x, 0.05);
    EXPECT_NEAR(turned[0].y, y, 0.05);
    EXPECT_GT(turned[0].confidence, 0.9f);
  }
}

TEST_F(HandBodyPipelines, WideFrameMapsTheWristBackThroughTheLetterbox) {
  // The 4:3 webcam picture scaled to 960x720 and centred on a black 1280x720 frame, the
  // camera's own size: the wrist must land on the same spot of the picture.
  const HandFrame& f = kHandFrames[1];
  auto plain = wrists(hands_->detect(rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), f.index)), 2));
  auto wide = wrists(hands_->detect(
      rgbOf(tp::loadMovieFrame(
          tp::webcamClipPath(), f.index,
          {.width = 960, .height = 720, .canvasWidth = 1280, .canvasHeight = 720, .canvasX = 160})),
      2));
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(wide.size(), 1u);
  EXPECT_NEAR(wide[0].x, (160 + 960 * plain[0].x) / 1280, 0.02);
  // The wrist lies just below the picture's edge, where the model can only extrapolate.
  EXPECT_NEAR(wide[0].y, plain[0].y, 0.05);
}

TEST_F(HandBodyPipelines, OneHandFoundTwiceIsReportedOnce) {
  // Fingers at the chin: the palm detector also fires on the knuckles, whose crop finds the
  // same hand again with a wrist up at the chin.
  auto found = wrists(hands_->detect(rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), 1194)), 2));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NEAR(found[0].x, 160 / kClipW, 0.06);
  EXPECT_NEAR(found[0].y, 300 / kClipH, 0.06);
}

TEST_F(HandBodyPipelines, HandCountFollowsTheLimit) {
  const RgbImage frame = rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), kHandFrames[2].index));
  EXPECT_TRUE(ok(hands_->detect(frame, 0)).empty());
  EXPECT_LE(ok(hands_->detect(frame, 1)).size(), 1u);
  EXPECT_EQ(ok(hands_->detect(frame, 2)).size(), 1u);
}

TEST_F(HandBodyPipelines, NoHandWhenTheHandsAreDown) {
  EXPECT_TRUE(
      ok(hands_->detect(rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), kNoHandFrame)), 2)).empty());
  EXPECT_TRUE(ok(hands_->detect(rgbOf(tp::loadPhoto(tp::graceHopperPath())), 2)).empty());
}

TEST_F(HandBodyPipelines, EmptyRoomHasNoHandsAndNoBody) {
  // The wall and the map beside the man's head, blown up to a camera frame: nobody there.
  for (const tp::Crop crop : {tp::Crop{260, 0, 140, 150}, tp::Crop{0, 20, 110, 200}}) {
    SCOPED_TRACE(crop.x);
    const RgbImage room = rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), kNoHandFrame,
                                                   {.crop = crop, .width = 1280, .height = 720}));
    EXPECT_TRUE(ok(hands_->detect(room, 2)).empty());
    EXPECT_TRUE(ok(bodies_->detect(room)).empty());
  }
  // A black frame, as a covered camera gives.
  RgbImage black{1280, 720, std::vector<uint8_t>(1280 * 720 * 3, 0)};
  EXPECT_TRUE(ok(hands_->detect(black, 2)).empty());
  EXPECT_TRUE(ok(bodies_->detect(black)).empty());
}

// Portraits facing the camera: the subject's own left shoulder is on the right of the picture.
struct Portrait {
  const char* name;
  std::string (*path)();
  double width, height;                 // pixels
  double leftX, leftY, rightX, rightY;  // shoulder joints by eye, pixels
  double tolerance;                     // normalised
};
const Portrait kPortraits[] = {
    {"grace_hopper", tp::graceHopperPath, 512, 600, 420, 400, 110, 390, 0.06},
    // The bulky suit hides the joints; the model's guess moves by some 30 px with the
    // slightest change in how the picture is scaled.
    {"astronaut", tp::astronautPath, 512, 512, 320, 255, 90, 250, 0.1},
};

TEST_F(HandBodyPipelines, ShouldersOfPortraitsAreTheSubjectsOwn) {
  for (const auto& p : kPortraits) {
    SCOPED_TRACE(p.name);
    auto s = shouldersOf(bodies_->detect(rgbOf(tp::loadPhoto(p.path()))));
    ASSERT_TRUE(s);
    EXPECT_NEAR(s->left.x, p.leftX / p.width, p.tolerance);
    EXPECT_NEAR(s->left.y, p.leftY / p.height, p.tolerance);
    EXPECT_NEAR(s->right.x, p.rightX / p.width, p.tolerance);
    EXPECT_NEAR(s->right.y, p.rightY / p.height, p.tolerance);
    EXPECT_GT(s->left.confidence, 0.9f);
    EXPECT_GT(s->right.confidence, 0.9f);
    EXPECT_LE(s->left.confidence, 1.0f);
  }
}

TEST_F(HandBodyPipelines, MirroredPortraitSwapsThePlacesButKeepsTheSubjectsLeft) {
  // In the mirror image the person still faces the camera, so the shoulder the model calls
  // "left" (landmark 11) is again on the right of the picture: it is the mirror image of the
  // original RIGHT shoulder, not of the original left one.
  for (const auto& p : kPortraits) {
    SCOPED_TRACE(p.name);
    auto plain = shouldersOf(bodies_->detect(rgbOf(tp::loadPhoto(p.path()))));
    auto mirrored = shouldersOf(bodies_->detect(rgbOf(tp::loadPhoto(p.path(), {.mirror = true}))));
    ASSERT_TRUE(plain && mirrored);
    EXPECT_GT(plain->left.x, plain->right.x);
    EXPECT_GT(mirrored->left.x, mirrored->right.x);
    EXPECT_NEAR(mirrored->left.x, 1 - plain->right.x, 0.07);
    EXPECT_NEAR(mirrored->left.y, plain->right.y, 0.07);
    EXPECT_NEAR(mirrored->right.x, 1 - plain->left.x, 0.07);
    EXPECT_NEAR(mirrored->right.y, plain->left.y, 0.07);
  }
}

TEST_F(HandBodyPipelines, ProfileGivesShouldersOnTheUpperBody) {
  // The cameraman bends over his camera, seen from the side: both shoulders are hidden under
  // the coat between his back and his face; only the region is checked.
  auto s = shouldersOf(bodies_->detect(rgbOf(tp::loadPhoto(tp::cameramanPath()))));
  ASSERT_TRUE(s);
  for (const Spot& p : {s->left, s->right}) {
    EXPECT_GT(p.x, 0.15);
    EXPECT_LT(p.x, 0.5);
    EXPECT_GT(p.y, 0.2);
    EXPECT_LT(p.y, 0.45);
  }
}

TEST_F(HandBodyPipelines, WebcamShouldersSitAtTheBottomEdge) {
  // The man's shoulders are cut by the bottom of the webcam picture; his right shoulder
  // (picture left) near x = 110 px, his left near x = 300 px.
  auto s =
      shouldersOf(bodies_->detect(rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), kNoHandFrame))));
  ASSERT_TRUE(s);
  EXPECT_NEAR(s->right.x, 110 / kClipW, 0.08);
  EXPECT_NEAR(s->left.x, 300 / kClipW, 0.08);
  EXPECT_GT(s->left.y, 0.85);
  EXPECT_GT(s->right.y, 0.85);
}

TEST(HandBodyPipelineLoading, WrongOrMissingModelFilesFailWithTheirName) {
  auto wrongPalm = HandPipeline::load({.palmFile = "pose_detection.tflite"});
  ASSERT_FALSE(wrongPalm);
  EXPECT_NE(wrongPalm.message().find("pose_detection.tflite"), std::string::npos);

  auto wrongLandmarks = BodyPipeline::load({.landmarkFile = "hand_landmark_lite.tflite"});
  ASSERT_FALSE(wrongLandmarks);
  EXPECT_NE(wrongLandmarks.message().find("hand_landmark_lite.tflite"), std::string::npos);

  auto missing = HandPipeline::load({.landmarkFile = "no_such_model.tflite"});
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.message().find("no_such_model.tflite"), std::string::npos);
}

// A model run that fails must come out as a failure, never as "no hands" or "no body": the
// frame record would otherwise claim the person had lowered their hands. Each model in turn
// fails, on a picture where the pipeline reaches it.
TEST(HandBodyPipelineFailures, AFailedModelRunIsAFailureNotAnEmptyResult) {
  const HandModelChoice hand;
  const BodyModelChoice body;
  const RgbImage raisedHand = rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), kHandFrames[2].index));
  const RgbImage portrait = rgbOf(tp::loadPhoto(tp::graceHopperPath()));
  auto model = [](std::string_view file, const std::vector<std::string>& outputs = {}) {
    auto m = loadModel(file, 1, outputs);
    EXPECT_TRUE(m) << m.message();
    return m ? std::move(m.value()) : nullptr;
  };
  auto failing = [](std::string_view file, const std::vector<std::string>& outputs = {}) {
    auto m = tp::loadFailingModel(file, outputs);
    EXPECT_TRUE(m) << m.message();
    return m ? std::move(m.value()) : nullptr;
  };
  auto expectFailure = [](const auto& found, const char* which) {
    SCOPED_TRACE(which);
    ASSERT_FALSE(found) << "a failed run was reported as " << found.value().size() << " results";
    EXPECT_NE(found.message().find("injected"), std::string::npos) << found.message();
  };

  auto palmFails = HandPipeline::fromModels(failing(hand.palmFile),
                                            model(hand.landmarkFile, kLandmarkOutputs), hand);
  ASSERT_TRUE(palmFails) << palmFails.message();
  expectFailure((*palmFails)->detect(raisedHand, 2), "palm detection");

  auto handLandmarksFail = HandPipeline::fromModels(
      model(hand.palmFile), failing(hand.landmarkFile, kLandmarkOutputs), hand);
  ASSERT_TRUE(handLandmarksFail) << handLandmarksFail.message();
  expectFailure((*handLandmarksFail)->detect(raisedHand, 2), "hand landmarks");
  // With no palm in the picture the landmark model is never run, so nothing failed.
  EXPECT_TRUE(ok((*handLandmarksFail)->detect(portrait, 2)).empty());

  auto personFails = BodyPipeline::fromModels(failing(body.detectorFile),
                                              model(body.landmarkFile, kLandmarkOutputs), body);
  ASSERT_TRUE(personFails) << personFails.message();
  expectFailure((*personFails)->detect(portrait), "person detection");

  auto poseLandmarksFail = BodyPipeline::fromModels(
      model(body.detectorFile), failing(body.landmarkFile, kLandmarkOutputs), body);
  ASSERT_TRUE(poseLandmarksFail) << poseLandmarksFail.message();
  expectFailure((*poseLandmarksFail)->detect(portrait), "pose landmarks");
}

}  // namespace
}  // namespace talvex::vision

namespace talvex::vision {
namespace {

// Following from frame to frame: every third frame of the clip, as the analysis takes them,
// while the hand is up (frames 1100..1160), the detectors running on every fifth. Each
// followed frame must give about what detecting on that frame gives. The wrist and the
// shoulders sit on the picture's bottom edge here, where the models guess most freely.
std::vector<int> everyThirdFrame(int from, int to) {
  std::vector<int> v;
  for (int i = from; i <= to; i += 3) v.push_back(i);
  return v;
}

TEST_F(HandBodyPipelines, FollowedHandAndBodyStayWithTheDetectedOnes) {
  const std::vector<int> indices = everyThirdFrame(1100, 1160);
  auto frames = tp::loadMovieFrames(tp::webcamClipPath(), indices);
  ASSERT_EQ(frames.size(), indices.size());
  std::vector<RgbImage> rgb;
  for (const auto& f : frames) rgb.push_back(rgbOf(f));
  std::vector<std::vector<Spot>> detected;
  std::vector<std::optional<Shoulders>> detectedBody;
  for (const auto& img : rgb) {
    detected.push_back(wrists(hands_->detect(img, 2)));
    detectedBody.push_back(shouldersOf(bodies_->detect(img)));
  }
  int compared = 0, differInARow = 0, longestDifference = 0;
  for (size_t i = 0; i < rgb.size(); ++i) {
    SCOPED_TRACE(indices[i]);
    const bool detectNow = i % 5 == 0;
    auto hands = wrists(hands_->track(rgb[i], 2, detectNow));
    auto body = shouldersOf(bodies_->track(rgb[i], detectNow));
    if (detectNow) {
      EXPECT_EQ(hands.size(), detected[i].size());
    }
    if (hands.size() != detected[i].size()) {
      longestDifference = std::max(longestDifference, ++differInARow);
      continue;
    }
    differInARow = 0;
    for (size_t k = 0; k < hands.size(); ++k) {
      EXPECT_NEAR(hands[k].x, detected[i][k].x, 0.06);
      EXPECT_NEAR(hands[k].y, detected[i][k].y, 0.1);
      ++compared;
    }
    ASSERT_EQ(body.has_value(), detectedBody[i].has_value());
    if (body) {
      EXPECT_NEAR(body->left.x, detectedBody[i]->left.x, 0.06);
      EXPECT_NEAR(body->right.y, detectedBody[i]->right.y, 0.06);
    }
  }
  EXPECT_GT(compared, static_cast<int>(rgb.size()) / 2) << "the hand should be up in most";
  // A hand that comes (or returns) between detections is seen at the next one.
  EXPECT_LT(longestDifference, 5);
}

TEST_F(HandBodyPipelines, LostHandIsLookedForAtOnceAndForgettingDropsIt) {
  const RgbImage up = rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), kHandFrames[0].index));
  const RgbImage down = rgbOf(tp::loadMovieFrame(tp::webcamClipPath(), kNoHandFrame));
  ASSERT_EQ(wrists(hands_->track(up, 2, true)).size(), 1u);
  // Its region now holds no hand: the palm detector runs on this frame and finds none.
  EXPECT_TRUE(wrists(hands_->track(down, 2, false)).empty());
  // Nothing is followed now, and without a detection the hand that came back is not seen yet.
  EXPECT_TRUE(wrists(hands_->track(up, 2, false)).empty());
  EXPECT_EQ(wrists(hands_->track(up, 2, true)).size(), 1u);
  EXPECT_EQ(wrists(hands_->track(up, 2, false)).size(), 1u);
  hands_->forget();
  EXPECT_TRUE(wrists(hands_->track(up, 2, false)).empty());
  // The body likewise: followed, then forgotten.
  ASSERT_TRUE(shouldersOf(bodies_->track(up, true)));
  EXPECT_TRUE(shouldersOf(bodies_->track(up, false)));
  bodies_->forget();
  EXPECT_FALSE(shouldersOf(bodies_->track(up, false)));
}

}  // namespace
}  // namespace talvex::vision
