#include "platform/draw/canvas.h"

#include <cmath>
#include <string>
#include <vector>

#include "platform/draw/picture_impl.h"

namespace talvex::draw {

struct Canvas::Impl {
  ContextPtr cr;
  Colour colour;
  std::vector<Colour> saved;  // colours at each save(), which Cairo's own state holds too
};

Canvas::Canvas(Picture& target) : impl_(std::make_unique<Impl>()) {
  impl_->cr.reset(cairo_create(surfaceOf(target.impl())));
  cairo_set_line_join(impl_->cr.get(), CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(impl_->cr.get(), CAIRO_LINE_CAP_ROUND);
  setLineWidth(2);
  setColour({1, 1, 1, 1});
}

Canvas::~Canvas() {
  // The picture is read through its surface after the canvas is gone; hand the drawing over.
  cairo_surface_flush(cairo_get_target(impl_->cr.get()));
}

void Canvas::setColour(Colour c) {
  impl_->colour = c;
  cairo_set_source_rgba(impl_->cr.get(), c.r, c.g, c.b, c.a);
}

void Canvas::setLineWidth(double w) { cairo_set_line_width(impl_->cr.get(), w); }

void Canvas::setDash(double on) {
  if (on <= 0) {
    cairo_set_dash(impl_->cr.get(), nullptr, 0, 0);
  } else {
    const double d[] = {on, on};
    cairo_set_dash(impl_->cr.get(), d, 2, 0);
  }
}

void Canvas::fill() { cairo_paint(impl_->cr.get()); }

void Canvas::line(Point a, Point b) {
  cairo_t* cr = impl_->cr.get();
  cairo_move_to(cr, a.x, a.y);
  cairo_line_to(cr, b.x, b.y);
  cairo_stroke(cr);
}

void Canvas::polyline(std::span<const Point> points) {
  if (points.size() < 2) return;
  cairo_t* cr = impl_->cr.get();
  cairo_move_to(cr, points[0].x, points[0].y);
  for (size_t i = 1; i < points.size(); ++i) cairo_line_to(cr, points[i].x, points[i].y);
  cairo_stroke(cr);
}

void Canvas::rectangle(double x, double y, double w, double h, bool filled) {
  cairo_t* cr = impl_->cr.get();
  cairo_rectangle(cr, x, y, w, h);
  filled ? cairo_fill(cr) : cairo_stroke(cr);
}

void Canvas::circle(Point c, double radius, bool filled) {
  cairo_t* cr = impl_->cr.get();
  cairo_new_sub_path(cr);
  cairo_arc(cr, c.x, c.y, radius, 0, 2 * M_PI);
  filled ? cairo_fill(cr) : cairo_stroke(cr);
}

void Canvas::arrow(Point a, Point b, double head) {
  line(a, b);
  const double len = std::hypot(b.x - a.x, b.y - a.y);
  if (len < 1e-9) return;
  const double ux = (b.x - a.x) / len, uy = (b.y - a.y) / len;
  const double c = std::cos(0.45), s = std::sin(0.45);
  cairo_t* cr = impl_->cr.get();
  cairo_move_to(cr, b.x - head * (ux * c - uy * s), b.y - head * (uy * c + ux * s));
  cairo_line_to(cr, b.x, b.y);
  cairo_line_to(cr, b.x - head * (ux * c + uy * s), b.y - head * (uy * c - ux * s));
  cairo_stroke(cr);
}

namespace {

void selectFont(cairo_t* cr, double size, bool bold) {
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
}

double startX(cairo_t* cr, Point at, const std::string& s, Align align, double& width) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, s.c_str(), &e);
  width = e.x_advance;
  switch (align) {
    case Align::Start:
      return at.x;
    case Align::Centre:
      return at.x - width / 2;
    case Align::End:
      return at.x - width;
  }
  return at.x;
}

// Selects the font and moves to where `s` starts; returns its width.
double moveToText(cairo_t* cr, Point at, const std::string& s, double size, Align align,
                  bool bold) {
  selectFont(cr, size, bold);
  double width = 0;
  cairo_move_to(cr, startX(cr, at, s, align, width), at.y);
  return width;
}

}  // namespace

double Canvas::text(Point at, std::string_view utf8, double size, Align align, bool bold) {
  cairo_t* cr = impl_->cr.get();
  const std::string s(utf8);
  const double width = moveToText(cr, at, s, size, align, bold);
  cairo_show_text(cr, s.c_str());
  cairo_new_path(cr);
  return width;
}

double Canvas::label(Point at, std::string_view utf8, double size, Align align) {
  cairo_t* cr = impl_->cr.get();
  const std::string s(utf8);
  const double width = moveToText(cr, at, s, size, align, true);
  cairo_text_path(cr, s.c_str());
  cairo_save(cr);
  cairo_set_source_rgba(cr, 0, 0, 0, 0.75 * impl_->colour.a);
  cairo_set_line_width(cr, std::max(2.0, size / 5));
  cairo_set_dash(cr, nullptr, 0, 0);
  cairo_stroke_preserve(cr);
  cairo_restore(cr);
  cairo_fill(cr);
  return width;
}

double Canvas::textWidth(std::string_view utf8, double size, bool bold) {
  cairo_t* cr = impl_->cr.get();
  selectFont(cr, size, bold);
  cairo_text_extents_t e;
  cairo_text_extents(cr, std::string(utf8).c_str(), &e);
  return e.x_advance;
}

void Canvas::drawPicture(const Picture& picture, double x, double y, double w, double h) {
  cairo_t* cr = impl_->cr.get();
  cairo_surface_t* src = surfaceOf(picture.impl());
  const int pw = cairo_image_surface_get_width(src), ph = cairo_image_surface_get_height(src);
  cairo_save(cr);
  cairo_rectangle(cr, x, y, w, h);
  cairo_clip(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, w / pw, h / ph);
  cairo_set_source_surface(cr, src, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_restore(cr);
  setColour(impl_->colour);
}

void Canvas::save() {
  cairo_save(impl_->cr.get());
  impl_->saved.push_back(impl_->colour);
}

void Canvas::restore() {
  cairo_restore(impl_->cr.get());
  if (!impl_->saved.empty()) {
    impl_->colour = impl_->saved.back();
    impl_->saved.pop_back();
  }
}

void Canvas::clip(double x, double y, double w, double h) {
  cairo_t* cr = impl_->cr.get();
  cairo_rectangle(cr, x, y, w, h);
  cairo_clip(cr);
}

void Canvas::translate(double dx, double dy) { cairo_translate(impl_->cr.get(), dx, dy); }

}  // namespace talvex::draw
