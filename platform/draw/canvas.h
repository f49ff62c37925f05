// Anti-aliased vector drawing and text on a Picture. No Cairo type appears here.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "platform/draw/picture.h"

namespace talvex::draw {

struct Colour {
  double r = 0, g = 0, b = 0, a = 1;  // 0..1 each
};

struct Point {
  double x = 0, y = 0;  // pixels, origin at the top left, y down
};

enum class Align { Start, Centre, End };

// Lifecycle: borrows its picture for its whole life; the drawing is in the picture as soon as
// each call returns. Threading: one thread at a time. Coordinates are pixels of the picture,
// origin at the top left, until transform() or clip() change them; save()/restore() bracket
// such changes.
class Canvas {
 public:
  explicit Canvas(Picture& target);
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  void setColour(Colour c);
  void setLineWidth(double w);
  // Dashes of `on` pixels with gaps as long; 0 for solid lines.
  void setDash(double on);

  void fill();  // the whole (clipped) picture
  void line(Point a, Point b);
  void polyline(std::span<const Point> points);
  void rectangle(double x, double y, double w, double h, bool filled);
  void circle(Point centre, double radius, bool filled);
  // A line from `a` to `b` with an open head at `b`, `head` pixels long.
  void arrow(Point a, Point b, double head);

  // Text of `size` pixels with `at` on its baseline; `align` places it horizontally. Returns the
  // text's width in pixels.
  double text(Point at, std::string_view utf8, double size, Align align = Align::Start,
              bool bold = false);
  // The same text with a dark halo, readable on any picture.
  double label(Point at, std::string_view utf8, double size, Align align = Align::Start);
  double textWidth(std::string_view utf8, double size, bool bold = false);

  // Draws `picture` scaled into the rectangle (smooth filtering).
  void drawPicture(const Picture& picture, double x, double y, double w, double h);

  void save();
  void restore();
  void clip(double x, double y, double w, double h);
  void translate(double dx, double dy);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex::draw
