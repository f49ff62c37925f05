// What talvex-record shows. On a terminal (standard error is one) a single status line that
// rewrites itself in place with carriage returns and is erased before anything else is said;
// otherwise no status at all. Error lines go to standard error, the summary to standard output.
#pragma once

#include <string>
#include <string_view>

namespace talvex::record {

struct Progress {
  bool recording = false;  // REC:started came
  double seconds = 0;      // since then
  double level = -1;       // the newest sound level, 0..1; <0 while there is no sound
  int faces = 0;           // faces in the newest frame record
  int records = 0;         // frame records written so far (one for every third frame)
};

// "REC 0:07  sound [#####     ]  faces 1  frames 210": the frames recorded, counted by their
// records (one for every third frame, so to within two).
std::string statusText(const Progress& p);
// "1:05.3" (minutes, seconds to a tenth).
std::string clockText(double seconds);
// The mux offset with six decimals (or `decimals`), in the form mux reads whatever the
// locale: "-0.084512".
std::string offsetText(double seconds, int decimals = 6);

class Console {
 public:
  // `terminal`: whether standard error is a terminal.
  explicit Console(bool terminal) : terminal_(terminal) {}
  ~Console() { clear(); }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  void status(const std::string& text);
  // One line on standard error; the status line comes back with the next status().
  void error(std::string_view line);
  // The one line on standard output at the end.
  void summary(std::string_view line);
  void clear();

 private:
  bool terminal_;
  std::string shown_;
};

}  // namespace talvex::record
