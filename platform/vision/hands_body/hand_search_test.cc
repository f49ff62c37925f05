#include "platform/vision/hands_body/hand_search.h"

#include <vector>

#include <gtest/gtest.h>

namespace talvex::vision {
namespace {

PixelBox face(double cx, double cy, double width) {
  return {cx - width / 2, cy - width * 0.6, cx + width / 2, cy + width * 0.6};
}

TEST(HandSearch, OnlyFacesSmallInTheFrameAreSearchedAround) {
  EXPECT_TRUE(handsTooSmallForFrame(face(640, 360, 50), 1280, 720));
  EXPECT_TRUE(handsTooSmallForFrame(face(640, 360, 140), 1280, 720));
  EXPECT_FALSE(handsTooSmallForFrame(face(640, 360, 150), 1280, 720));
  // The longer side counts, whichever way the frame stands.
  EXPECT_FALSE(handsTooSmallForFrame(face(360, 640, 150), 720, 1280));
  // A webcam face in a 400x300 picture is large there.
  EXPECT_FALSE(handsTooSmallForFrame(face(200, 150, 100), 400, 300));
  EXPECT_FALSE(handsTooSmallForFrame(PixelBox{}, 1280, 720));
}

TEST(HandSearch, RegionReachesFromAboveTheHeadToTheWaistAndStaysWhole) {
  // Six face widths square, centred across the face, 1.5 face widths above its centre.
  PixelBox r = handSearchRegion(face(640, 300, 50), 1280, 720);
  EXPECT_DOUBLE_EQ(r.width(), 300);
  EXPECT_DOUBLE_EQ(r.height(), 300);
  EXPECT_DOUBLE_EQ((r.xmin + r.xmax) / 2, 640);
  EXPECT_DOUBLE_EQ(r.ymin, 300 - 75);
  // Near the frame's corner the region moves inside instead of being cut.
  r = handSearchRegion(face(1260, 700, 50), 1280, 720);
  EXPECT_DOUBLE_EQ(r.width(), 300);
  EXPECT_DOUBLE_EQ(r.xmax, 1280);
  EXPECT_DOUBLE_EQ(r.ymax, 720);
  r = handSearchRegion(face(10, 10, 50), 1280, 720);
  EXPECT_DOUBLE_EQ(r.xmin, 0);
  EXPECT_DOUBLE_EQ(r.ymin, 0);
  // Never larger than the frame.
  r = handSearchRegion(face(200, 100, 100), 400, 300);
  EXPECT_DOUBLE_EQ(r.width(), 300);
  EXPECT_DOUBLE_EQ(r.height(), 300);
  EXPECT_GE(r.xmin, 0);
  EXPECT_LE(r.xmax, 400);
}

TEST(HandSearch, PlannerSearchesWithDetectionsAndAroundNewFacesOnce) {
  HandSearchPlanner plan;
  const PixelBox near = face(640, 360, 300), a = face(200, 200, 40), b = face(900, 300, 60),
                 c = face(1100, 500, 50);
  // At a detection: the small faces only, the largest first, at most two.
  const std::vector<PixelBox> first{near, a, b, c};
  HandSearchRegions r = plan.plan(first, true, 1280, 720);
  ASSERT_EQ(r.withDetection.size(), 2u);
  EXPECT_DOUBLE_EQ((r.withDetection[0].xmin + r.withDetection[0].xmax) / 2, 900);
  EXPECT_DOUBLE_EQ((r.withDetection[1].xmin + r.withDetection[1].xmax) / 2, 1100);
  EXPECT_TRUE(r.now.empty());

  // Between detections the same faces, moved a little, are not searched again...
  const std::vector<PixelBox> moved{face(910, 305, 60), face(1090, 500, 50)};
  r = plan.plan(moved, false, 1280, 720);
  EXPECT_EQ(r.withDetection.size(), 2u);  // still there if a followed hand is lost
  EXPECT_TRUE(r.now.empty());
  // ...but a face that came is, once.
  const std::vector<PixelBox> withNew{face(400, 300, 70), face(910, 305, 60)};
  r = plan.plan(withNew, false, 1280, 720);
  ASSERT_EQ(r.now.size(), 1u);
  EXPECT_DOUBLE_EQ((r.now[0].xmin + r.now[0].xmax) / 2, 400);
  EXPECT_TRUE(plan.plan(withNew, false, 1280, 720).now.empty());

  // Faces far from where they were searched count as new.
  const std::vector<PixelBox> walked{face(700, 300, 60)};
  EXPECT_EQ(plan.plan(walked, false, 1280, 720).now.size(), 1u);
  // A new sequence remembers nothing; the first frame has no faces to go by.
  plan.forget();
  EXPECT_EQ(plan.plan(moved, false, 1280, 720).now.size(), 2u);
  EXPECT_TRUE(plan.plan({}, true, 1280, 720).withDetection.empty());
  const std::vector<PixelBox> onlyNear{near};
  r = plan.plan(onlyNear, false, 1280, 720);
  EXPECT_TRUE(r.withDetection.empty() && r.now.empty());
}

}  // namespace
}  // namespace talvex::vision
