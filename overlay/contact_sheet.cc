#include "overlay/contact_sheet.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "overlay/chart.h"
#include "overlay/record_drawing.h"
#include "overlay/record_cursor.h"
#include "platform/draw/canvas.h"

namespace talvex::overlay {
namespace {

constexpr double kMargin = 20, kGap = 12, kCaption = 24, kTitle = 56, kChartH = 210, kChartGap = 14;
constexpr draw::Colour kBackground{0.11, 0.11, 0.12};
constexpr draw::Colour kInk{0.9, 0.9, 0.9};

std::string seconds(double t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", t);
  return buf;
}

std::vector<ChartData> charts(const FramesFile& f, double endTime) {
  ChartData angles{"head angles (degrees)", {}, endTime, {}, false};
  angles.series = {{"yaw", {1.0, 0.8, 0.1}, {}, false},
                   {"pitch", {0.3, 0.8, 1.0}, {}, false},
                   {"roll", {1.0, 0.4, 0.7}, {}, false}};
  ChartData mouth{"mouth opening (over the eye distance)", {}, endTime, {}, false};
  mouth.series = {{"opening", colours::kMouth, {}, false}};
  ChartData gaze{
      "gaze (pupil offset over the eye width; x right +, y up +)", {}, endTime, {}, false};
  gaze.series = {{"gaze x", {1.0, 0.3, 0.9}, {}, false}, {"gaze y", {0.5, 1.0, 0.5}, {}, false}};
  ChartData counts{"hands and faces (count)", {}, endTime, {}, true};
  counts.series = {{"hands", colours::kLeft, {}, true}, {"faces", colours::kFace, {}, true}};
  for (const Record& r : f.records) {
    for (ChartData* c : {&angles, &mouth, &gaze, &counts}) c->times.push_back(r.t);
    angles.series[0].values.push_back(r.box ? r.yaw : std::nullopt);
    angles.series[1].values.push_back(r.box ? r.pitch : std::nullopt);
    angles.series[2].values.push_back(r.box ? r.roll : std::nullopt);
    mouth.series[0].values.push_back(r.mouth ? std::optional((*r.mouth)[1]) : std::nullopt);
    gaze.series[0].values.push_back(r.gaze ? std::optional((*r.gaze)[0]) : std::nullopt);
    gaze.series[1].values.push_back(r.gaze ? std::optional((*r.gaze)[1]) : std::nullopt);
    counts.series[0].values.push_back(static_cast<double>(r.hands.size()));
    counts.series[1].values.push_back(static_cast<double>(r.faces));
  }
  return {angles, mouth, gaze, counts};
}

}  // namespace

Result<draw::Picture> drawContactSheet(MovieSource& movie, const FramesFile& frames,
                                       const std::string& title, SheetSummary& summary,
                                       std::stop_token stop) {
  using R = Result<draw::Picture>;
  const std::vector<size_t> picks = evenlySpaced(frames.records.size(), kSheetFrames);
  const int cols = std::max(1, std::min<int>(kSheetColumns, static_cast<int>(picks.size())));
  const int rows = static_cast<int>((picks.size() + cols - 1) / cols);
  const double cellW = (kSheetWidth - 2 * kMargin - (kSheetColumns - 1) * kGap) / kSheetColumns;
  const double aspect = movie.video.width > 0 && movie.video.height > 0
                            ? double(movie.video.height) / movie.video.width
                            : 9.0 / 16;
  const double cellH = std::round(cellW * aspect);
  const double gridH = rows * (cellH + kCaption + kGap);
  const double chartsTop = kTitle + gridH + kGap;
  const int height = static_cast<int>(chartsTop + 4 * (kChartH + kChartGap) + kMargin);

  auto sheet = draw::Picture::create(kSheetWidth, height);
  if (!sheet) return R::failure(sheet.message());
  draw::Canvas c(*sheet);
  c.setColour(kBackground);
  c.fill();

  const double lastT = frames.records.empty() ? 0 : frames.records.back().t;
  const double endTime = std::max(movie.durationSeconds(), lastT);
  c.setColour(kInk);
  c.text({kMargin, 34}, title, 22, draw::Align::Start, true);
  char info[160];
  std::snprintf(info, sizeof info,
                "%dx%d, %.2f s, %zu records; frames at even steps of the records",
                movie.video.width, movie.video.height, endTime, frames.records.size());
  c.text({kSheetWidth - kMargin, 34}, info, 14, draw::Align::End);

  auto cellOf = [&](size_t i) {
    const int r = static_cast<int>(i) / cols, col = static_cast<int>(i) % cols;
    return FrameArea{kMargin + col * (cellW + kGap), kTitle + r * (cellH + kCaption + kGap), cellW,
                     cellH, false};
  };
  // Empty cells until a frame arrives; a record past the movie's end keeps its empty cell.
  for (size_t i = 0; i < picks.size(); ++i) {
    const FrameArea a = cellOf(i);
    c.setColour({0.2, 0.2, 0.22});
    c.rectangle(a.x, a.y, a.width, a.height, true);
    c.setColour(kInk);
    const Record& rec = frames.records[picks[i]];
    c.text({a.x, a.y + a.height + 17},
           "t " + seconds(rec.t) + "  (line " + std::to_string(rec.line) + ")", 13);
  }

  // Each chosen record is drawn on the first frame at or after its time: the one it was
  // made from.
  size_t next = 0;
  media::MediaTime t0;
  bool first = true;
  while (next < picks.size()) {
    if (stop.stop_requested()) return R::failure("interrupted");
    auto pts = movie.reader->nextFrame();
    if (!pts) break;
    if (first) t0 = *pts, first = false;
    const double t = media::subtract(*pts, t0).seconds();
    if (t + kTimeTolerance < frames.records[picks[next]].t) continue;
    auto image = movie.reader->image();
    if (!image) return R::failure("cannot read " + movie.asset->path() + ": " + image.message());
    auto picture = draw::Picture::fromFrame(*image);
    if (!picture) return R::failure(picture.message());
    while (next < picks.size() && frames.records[picks[next]].t <= t + kTimeTolerance) {
      const FrameArea a = cellOf(next);
      c.drawPicture(*picture, a.x, a.y, a.width, a.height);
      drawRecord(c, frames.records[picks[next]], a);
      ++summary.frames;
      ++next;
    }
  }

  const auto all = charts(frames, endTime);
  for (size_t i = 0; i < all.size(); ++i)
    drawChart(c, all[i], kMargin, chartsTop + i * (kChartH + kChartGap), kSheetWidth - 2 * kMargin,
              kChartH);
  summary.records = frames.records.size();
  return std::move(sheet).value();
}

}  // namespace talvex::overlay
