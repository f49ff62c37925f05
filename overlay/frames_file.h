// A frames file read back: its header and frame records, checked line by line.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/process/result.h"

namespace talvex::overlay {

// A point normalised to the frame: 0..1, origin at the top left, y down.
struct NormPoint {
  double x = 0, y = 0;
};

struct Wrist {
  NormPoint at;
  double confidence = 0;
};

// The measures of one analysed frame that the overlay draws. Image coordinates are normalised
// with a top-left origin; angles are degrees. "gaze" is the exception: its vertical offset is
// positive when the pupils sit above the eye centres (up on the screen).
struct Record {
  double t = 0;
  int faces = 0;
  std::optional<std::array<double, 4>> box;  // x, y, width, height
  std::optional<double> yaw, pitch, roll;
  std::optional<std::array<double, 2>> gaze;   // horizontal (right +), vertical (up +)
  std::optional<std::array<double, 2>> mouth;  // width, opening, over the eye distance
  std::vector<Wrist> hands;
  // The subject's own left shoulder first, then the right one.
  std::optional<std::array<NormPoint, 2>> shoulders;
  int line = 0;  // where it stood in the file, counted from 1
};

struct FramesFile {
  double startEpoch = 0;
  std::vector<Record> records;  // in file order, t never decreasing
};

// Reads and checks the whole file. A failure names the file and, for a bad line, its number and
// what is wrong with it: a missing header, a line that is not a JSON object, a record without
// "t" or "faces" or with a key of the wrong shape, a record earlier than the one before it.
Result<FramesFile> readFramesFile(const std::string& path);

// The same checks on text already in memory; `name` stands for the file in messages.
Result<FramesFile> parseFramesFile(const std::string& text, const std::string& name);

}  // namespace talvex::overlay
