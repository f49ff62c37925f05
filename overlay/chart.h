// A line chart of measures over the movie's time, with labelled axes and a legend.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/draw/canvas.h"

namespace talvex::overlay {

struct Series {
  std::string name;
  draw::Colour colour;
  std::vector<std::optional<double>> values;  // one per time; nothing leaves a gap
  bool steps = false;                         // counts: held until the next value
};

struct ChartData {
  std::string title;  // says the unit, e.g. "head angles (degrees)"
  std::vector<double> times;
  double endTime = 0;  // the time axis runs from 0 to here
  std::vector<Series> series;
  bool integers = false;  // value ticks at whole numbers only
};

// Ticks at 1, 2 or 5 times a power of ten, covering [lo, hi] with about `want` steps.
std::vector<double> niceTicks(double lo, double hi, int want);

// Draws the chart into the rectangle: frame, grid, value axis with ticks and numbers, a time
// axis in seconds labelled "time (s)", the title and a legend of the series' names.
void drawChart(draw::Canvas& canvas, const ChartData& chart, double x, double y, double w,
               double h);

}  // namespace talvex::overlay
