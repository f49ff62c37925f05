// How one frame record is drawn over its frame.
#pragma once

#include "overlay/frames_file.h"
#include "platform/draw/canvas.h"

namespace talvex::overlay {

// Where the frame lies on the canvas, in canvas pixels, and whether the numbers are written
// beside the marks (a movie) or left to the charts (a thumbnail).
struct FrameArea {
  double x = 0, y = 0, width = 0, height = 0;
  bool numbers = true;
  draw::Point at(NormPoint p) const { return {x + p.x * width, y + p.y * height}; }
};

// Colours the drawing uses, so tests and the legend agree with it.
namespace colours {
inline constexpr draw::Colour kFace{0.2, 1.0, 0.3};
inline constexpr draw::Colour kHead{1.0, 0.9, 0.1};
inline constexpr draw::Colour kGaze{1.0, 0.2, 0.9};
inline constexpr draw::Colour kMouth{1.0, 0.35, 0.35};
inline constexpr draw::Colour kLeft{1.0, 0.55, 0.0};   // the subject's left side
inline constexpr draw::Colour kRight{0.0, 0.75, 1.0};  // the subject's right side
inline constexpr draw::Colour kText{1.0, 1.0, 1.0};
}  // namespace colours

// Which side of the subject a wrist is on. The record does not say which hand a wrist belongs
// to, so it is read from the picture: a wrist beyond the body's midline on the image's right is
// the subject's left (as for the shoulders, in a picture that is not mirrored). The midline is
// the middle of the shoulders, else of the face box, else of the frame.
bool isLeftWrist(const Record& rec, const Wrist& w);

// Draws `rec` over the frame at `area`: face box, head direction and roll, gaze, mouth
// opening, wrists and shoulders marked L and R, and a line with t, faces and hands. Sizes
// follow the area's width (text never below a legible size), so a thumbnail gets a smaller
// drawing of the same shape.
void drawRecord(draw::Canvas& canvas, const Record& rec, const FrameArea& area);

}  // namespace talvex::overlay
