#include "overlay/chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace talvex::overlay {
namespace {

constexpr draw::Colour kInk{0.85, 0.85, 0.85};
constexpr draw::Colour kGrid{1, 1, 1, 0.12};
constexpr double kFont = 13;

std::string tickText(double v, double step) {
  char buf[32];
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v == 0 ? 0.0 : v);
  return buf;
}

}  // namespace

std::vector<double> niceTicks(double lo, double hi, int want) {
  std::vector<double> out;
  if (!std::isfinite(lo) || !std::isfinite(hi)) return out;
  if (!(hi > lo) || want < 1) return {lo};
  const double raw = (hi - lo) / want;
  if (!std::isfinite(raw) || !(raw > 0)) return {lo, hi};
  const double mag = std::pow(10, std::floor(std::log10(raw)));
  // The candidate nearest to the raw step on a log scale.
  double step = mag;
  for (double f : {2.0, 5.0, 10.0})
    if (std::fabs(std::log(f * mag / raw)) < std::fabs(std::log(step / raw))) step = f * mag;
  // Ticks are counted rather than added up: next to values that dwarf the step (1e17 and a step
  // of 5) an addition would not move. Such values can also round several ticks to one number,
  // which is then given once.
  const double first = std::ceil(lo / step - 1e-9), last = std::floor(hi / step + 1e-9);
  const double count = std::min(last - first, 10.0 * want + 10);
  for (int k = 0; k <= count; ++k) {
    double v = (first + k) * step;
    if (std::fabs(v) < step * 1e-9) v = 0;
    if (out.empty() || v > out.back()) out.push_back(v);
  }
  return out;
}

namespace {

// Where the chart's values go on the page: times from 0 to tEnd across left..right, values
// from lo to hi up bottom..top.
struct PlotArea {
  double left, right, top, bottom, tEnd, lo, hi;
  double px(double t) const { return left + (right - left) * t / tEnd; }
  double py(double v) const { return bottom - (bottom - top) * (v - lo) / (hi - lo); }
};

// Legend at the top right, in the order of the series.
void drawLegend(draw::Canvas& c, const ChartData& chart, double right, double y) {
  double lx = right;
  for (auto it = chart.series.rbegin(); it != chart.series.rend(); ++it) {
    const double tw = c.textWidth(it->name, kFont);
    lx -= tw;
    c.setColour(kInk);
    c.text({lx, y + 18}, it->name, kFont);
    c.setColour(it->colour);
    c.setLineWidth(3);
    c.line({lx - 24, y + 13}, {lx - 6, y + 13});
    lx -= 40;
  }
}

// The series, each broken where it has no value.
void drawSeries(draw::Canvas& c, const ChartData& chart, const PlotArea& a) {
  c.save();
  c.clip(a.left, a.top, a.right - a.left, a.bottom - a.top);
  for (const Series& s : chart.series) {
    c.setColour(s.colour);
    c.setLineWidth(s.steps ? 2 : 1.6);
    std::vector<draw::Point> run;
    auto flush = [&] {
      if (run.size() == 1) c.circle(run[0], 1.5, true);
      c.polyline(run);
      run.clear();
    };
    for (size_t i = 0; i < chart.times.size() && i < s.values.size(); ++i) {
      if (!s.values[i]) {
        flush();
        continue;
      }
      const draw::Point p{a.px(chart.times[i]), a.py(*s.values[i])};
      if (s.steps && !run.empty()) run.push_back({p.x, run.back().y});
      run.push_back(p);
    }
    flush();
  }
  c.restore();
}

}  // namespace

void drawChart(draw::Canvas& c, const ChartData& chart, double x, double y, double w, double h) {
  // Plot area inside room for the value numbers (left), the title (top) and the time axis.
  const double left = x + 60, right = x + w - 10, top = y + 26, bottom = y + h - 36;
  const double tEnd = std::max(chart.endTime, 1e-3);

  double lo = HUGE_VAL, hi = -HUGE_VAL;
  for (const Series& s : chart.series)
    for (const auto& v : s.values)
      if (v) lo = std::min(lo, *v), hi = std::max(hi, *v);
  if (lo > hi) lo = 0, hi = 1;  // nothing to show: an empty axis
  // Any finite values keep a finite range, so every position on the page is a number.
  lo = std::max(lo, -1e300), hi = std::min(hi, 1e300);
  if (chart.integers) lo = std::min(lo, 0.0), hi = std::max(hi, lo + 1);
  if (hi - lo < 1e-9) lo -= 0.5, hi += 0.5;
  const double pad = chart.integers ? 0.15 : 0.05 * (hi - lo);
  lo -= pad;
  hi += pad;
  const PlotArea area{left, right, top, bottom, tEnd, lo, hi};
  auto px = [&area](double t) { return area.px(t); };
  auto py = [&area](double v) { return area.py(v); };

  c.setColour({1, 1, 1, 0.05});
  c.rectangle(left, top, right - left, bottom - top, true);

  // Value axis.
  std::vector<double> vticks = niceTicks(lo, hi, 4);
  if (chart.integers) {
    vticks =
        niceTicks(std::ceil(lo), std::floor(hi), std::min(4, int(std::floor(hi) - std::ceil(lo))));
    std::erase_if(vticks, [](double v) { return v != std::round(v); });
  }
  const double vstep = vticks.size() > 1 ? vticks[1] - vticks[0] : 1;
  c.setLineWidth(1);
  for (double v : vticks) {
    c.setColour(kGrid);
    c.line({left, py(v)}, {right, py(v)});
    c.setColour(kInk);
    c.text({left - 6, py(v) + kFont / 3}, tickText(v, vstep), kFont, draw::Align::End);
  }
  // Time axis.
  const std::vector<double> tticks = niceTicks(0, tEnd, 10);
  const double tstep = tticks.size() > 1 ? tticks[1] - tticks[0] : 1;
  for (double t : tticks) {
    c.setColour(kGrid);
    c.line({px(t), top}, {px(t), bottom});
    c.setColour(kInk);
    c.line({px(t), bottom}, {px(t), bottom + 4});
    c.text({px(t), bottom + 4 + kFont}, tickText(t, tstep), kFont, draw::Align::Centre);
  }
  c.setColour(kInk);
  c.rectangle(left, top, right - left, bottom - top, false);
  c.text({(left + right) / 2, y + h - 4}, "time (s)", kFont, draw::Align::Centre);
  c.text({left, y + 18}, chart.title, kFont + 2, draw::Align::Start, true);

  drawLegend(c, chart, right, y);
  drawSeries(c, chart, area);
}

}  // namespace talvex::overlay
