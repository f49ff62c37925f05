#include "platform/media/camera/frame_liveness.h"

#include <gtest/gtest.h>

namespace talvex::media {
namespace {

// What a capture thread sees, one event a line: at `ms` a frame came, and was usable, unusable
// or not tried.
struct Event {
  int64_t ms;
  enum { Usable, Unusable, Untried } what;
};

TEST(FrameLiveness, TellsAWorkingCameraFromAQuietOrUselessOne) {
  struct Case {
    const char* why;
    std::vector<Event> events;
    int64_t askedAtMs;
    std::optional<CameraLoss> verdict;
  } cases[] = {
      {"a slow starter is waited for", {}, 4900, std::nullopt},
      {"one that never starts is silent", {}, 5100, CameraLoss::Silent},
      {"a late first frame, then usable ones",
       {{4000, Event::Usable}, {5900, Event::Usable}},
       7000,
       std::nullopt},
      {"frames that never decode",
       {{100, Event::Unusable}, {1000, Event::Unusable}, {2000, Event::Unusable}},
       2200,
       CameraLoss::Unusable},
      {"usable, then only unusable ones",
       {{100, Event::Usable}, {1000, Event::Unusable}, {2000, Event::Unusable}},
       2200,
       CameraLoss::Unusable},
      {"usable, then nothing", {{100, Event::Usable}}, 2200, CameraLoss::Silent},
      {"a short stall is no loss",
       {{100, Event::Usable}, {1900, Event::Usable}},
       3000,
       std::nullopt},
      {"frames not tried prove nothing",
       {{100, Event::Usable}, {1000, Event::Untried}, {2000, Event::Untried}},
       2200,
       CameraLoss::Unusable},
  };
  for (const Case& c : cases) {
    FrameLiveness l(0);
    for (const Event& e : c.events) {
      l.sawFrame(e.ms * 1000);
      if (e.what != Event::Untried) l.tried(e.ms * 1000, e.what == Event::Usable);
    }
    EXPECT_EQ(l.verdict(c.askedAtMs * 1000), c.verdict) << c.why;
  }
}

TEST(FrameLiveness, AsksForATryWhenNoneWasMadeForHalfASecond) {
  FrameLiveness l(0);
  EXPECT_FALSE(l.wantsTry(400000));
  EXPECT_TRUE(l.wantsTry(500000));
  l.tried(500000, false);
  EXPECT_FALSE(l.wantsTry(600000));
  EXPECT_TRUE(l.wantsTry(1000000));
}

}  // namespace
}  // namespace talvex::media
