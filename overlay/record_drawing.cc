#include "overlay/record_drawing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace talvex::overlay {
namespace {

constexpr double kRadiansPerDegree = M_PI / 180;

std::string fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

double midline(const Record& rec) {
  if (rec.shoulders) return ((*rec.shoulders)[0].x + (*rec.shoulders)[1].x) / 2;
  if (rec.box) return (*rec.box)[0] + (*rec.box)[2] / 2;
  return 0.5;
}

void drawFace(draw::Canvas& c, const Record& rec, const FrameArea& a, double s) {
  const auto& b = *rec.box;
  const draw::Point tl = a.at({b[0], b[1]});
  const double bw = b[2] * a.width, bh = b[3] * a.height;
  const draw::Point centre{tl.x + bw / 2, tl.y + bh / 2};

  c.setColour(colours::kFace);
  c.setLineWidth(std::max(2.0, 3 * s));
  c.rectangle(tl.x, tl.y, bw, bh, false);

  // Head: the nose's direction (positive yaw to the image's right, positive pitch up) and the
  // roll as a tilted cross-bar (positive roll counter-clockwise on the screen).
  const double yaw = rec.yaw.value_or(0) * kRadiansPerDegree;
  const double pitch = rec.pitch.value_or(0) * kRadiansPerDegree;
  const double roll = rec.roll.value_or(0) * kRadiansPerDegree;
  const double reach = 0.9 * bw;
  c.setColour(colours::kHead);
  c.setLineWidth(3 * s);
  c.circle(centre, 4 * s, true);
  const draw::Point nose{centre.x + reach * std::sin(yaw), centre.y - reach * std::sin(pitch)};
  if (std::hypot(nose.x - centre.x, nose.y - centre.y) > 2 * s) c.arrow(centre, nose, 12 * s);
  const double half = 0.35 * bw;
  c.setLineWidth(2 * s);
  c.line({centre.x - half * std::cos(roll), centre.y + half * std::sin(roll)},
         {centre.x + half * std::cos(roll), centre.y - half * std::sin(roll)});

  // Gaze from between the eyes; its vertical offset is positive upwards.
  if (rec.gaze) {
    const draw::Point eyes{centre.x, tl.y + 0.32 * bh};
    const double k = 2.0 * bw;
    c.setColour(colours::kGaze);
    c.setLineWidth(2.5 * s);
    c.circle(eyes, 3 * s, true);
    c.arrow(eyes, {eyes.x + k * (*rec.gaze)[0], eyes.y - k * (*rec.gaze)[1]}, 8 * s);
  }

  // Mouth: an ellipse as wide and as open as measured (over an eye distance taken as 0.4 of
  // the box width).
  if (rec.mouth) {
    const double eye = 0.4 * bw;
    const double rx = std::max(1.0, (*rec.mouth)[0] * eye / 2);
    const double ry = std::max(1.0, (*rec.mouth)[1] * eye / 2);
    c.setColour(colours::kMouth);
    c.setLineWidth(2 * s);
    std::vector<draw::Point> pts;
    for (int i = 0; i <= 36; ++i) {
      const double a2 = i * 2 * M_PI / 36;
      pts.push_back({centre.x + rx * std::cos(a2), tl.y + 0.68 * bh + ry * std::sin(a2)});
    }
    c.polyline(pts);
  }

  // The numbers beside the box; thumbnails show the drawing alone (the contact sheet's charts
  // carry the numbers).
  if (!a.numbers) return;
  const double size = std::max(11.0, 15 * s);
  std::vector<std::pair<draw::Colour, std::string>> lines;
  std::string head = "yaw " + fixed(rec.yaw.value_or(0), 1);
  head += rec.pitch ? "  pitch " + fixed(*rec.pitch, 1) : "  pitch -";
  head += "  roll " + fixed(rec.roll.value_or(0), 1);
  lines.emplace_back(colours::kHead, head);
  if (rec.gaze)
    lines.emplace_back(colours::kGaze,
                       "gaze " + fixed((*rec.gaze)[0], 2) + ", " + fixed((*rec.gaze)[1], 2));
  if (rec.mouth)
    lines.emplace_back(colours::kMouth, "mouth " + fixed((*rec.mouth)[0], 2) + " wide, " +
                                            fixed((*rec.mouth)[1], 2) + " open");
  double widest = 0;
  for (const auto& l : lines) widest = std::max(widest, c.textWidth(l.second, size, true));
  // Right of the box, or left of it when the frame ends first.
  const bool right = tl.x + bw + 10 * s + widest <= a.x + a.width;
  double y = tl.y + size * 1.2;
  for (const auto& [colour, text] : lines) {
    c.setColour(colour);
    c.label({right ? tl.x + bw + 10 * s : tl.x - 10 * s, y}, text, size,
            right ? draw::Align::Start : draw::Align::End);
    y += size * 1.3;
  }
}

void drawJoint(draw::Canvas& c, draw::Point at, bool left, double s, const std::string& extra,
               bool numbers) {
  c.setColour(left ? colours::kLeft : colours::kRight);
  c.setLineWidth(3 * s);
  c.circle(at, 11 * s, false);
  c.circle(at, 3 * s, true);
  const double size = std::max(10.0, 16 * s);
  // Thumbnails say only the side.
  c.label({at.x + 14 * s, at.y - 8 * s}, std::string(left ? "L" : "R") + (numbers ? extra : ""),
          size);
}

}  // namespace

bool isLeftWrist(const Record& rec, const Wrist& w) { return w.at.x > midline(rec); }

void drawRecord(draw::Canvas& c, const Record& rec, const FrameArea& a) {
  const double s = std::max(0.5, a.width / 1280.0);
  c.save();
  c.clip(a.x, a.y, a.width, a.height);
  c.setDash(0);

  if (rec.shoulders) {
    const draw::Point l = a.at((*rec.shoulders)[0]), r = a.at((*rec.shoulders)[1]);
    c.setColour({1, 1, 1, 0.7});
    c.setLineWidth(2 * s);
    c.line(l, r);
    drawJoint(c, l, true, s, " shoulder", a.numbers);
    drawJoint(c, r, false, s, " shoulder", a.numbers);
  }
  for (const Wrist& w : rec.hands)
    drawJoint(c, a.at(w.at), isLeftWrist(rec, w), s, " wrist " + fixed(w.confidence, 2), a.numbers);
  if (rec.box) drawFace(c, rec, a, s);

  // What the record says about the whole frame, at the top left.
  const double size = std::max(10.0, 18 * s);
  const std::string hud = "t " + fixed(rec.t, 3) + " s   faces " + std::to_string(rec.faces) +
                          "   hands " + std::to_string(rec.hands.size());
  c.setColour({0, 0, 0, 0.55});
  c.rectangle(a.x, a.y, c.textWidth(hud, size, true) + size, size * 1.6, true);
  c.setColour(colours::kText);
  c.label({a.x + size / 2, a.y + size * 1.15}, hud, size);
  c.restore();
}

}  // namespace talvex::overlay
