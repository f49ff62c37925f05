#include "record/recorder.h"

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "platform/process/atomic_file.h"
#include "record/child_lines.h"
#include "record/frames_tail.h"

namespace talvex::record {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the status line is redrawn and the timers looked at.
constexpr auto kTick = 100ms;
// REC waits this long for the sound's STARTED after the camera's, so that the sound covers the
// movie from its first frame; the offset keeps the two in step whichever comes first.
constexpr auto kWaitForSound = 3s;
// A child that has not ended this long after it was told to is killed.
constexpr auto kStopGrace = 30s;

// Seconds since 1970 on the wall clock, the clock STARTED and start_epoch are read on.
double wallNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A hidden folder of this recording's own beside the output: everything written before the
// finished files are renamed into place (the children's files, mux's output and whatever
// temporary files they make beside theirs) lives there, and goes with it.
class WorkFolder {
 public:
  static Result<std::unique_ptr<WorkFolder>> create(const std::string& out) {
    const fs::path p(out);
    const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
    std::string tmpl = (dir / ".talvex-record-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return Status::failure(std::strerror(errno));
    return std::unique_ptr<WorkFolder>(new WorkFolder(tmpl));
  }
  ~WorkFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  explicit WorkFolder(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

bool nonEmptyFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0 && !ec;
}

class Recording {
 public:
  Recording(const Options& o, const Programs& programs, SignalInbox& inbox, Console& console)
      : o_(o), programs_(programs), inbox_(inbox), console_(console), kept_(keptFilesFor(o.out)) {}

  int run();

 private:
  struct Helper {
    std::optional<ChildEnd> end;  // none: abandoned by a second signal
    std::vector<std::string> errors;
  };

  bool startChildren();
  // The recording itself, until both children ended. False when a second signal abandoned it.
  bool recordUntilStopped();
  void takeSignals();
  void onLiveLine(const std::string& line);
  void onTapLine(const std::string& line);
  void noteEnds();
  void advance();
  void requestStop();
  void showStatus();
  void killChildren();
  std::chrono::milliseconds nextWait() const;
  // Runs a program to its end; a second signal ends it with `abandonSignal`.
  Helper runHelper(const std::vector<std::string>& argv, int abandonSignal);
  int finish();
  void drawSheet();

  const Options& o_;
  const Programs& programs_;
  SignalInbox& inbox_;
  Console& console_;
  const KeptFiles kept_;
  std::unique_ptr<WorkFolder> work_;
  std::string movie_, frames_, wav_, preview_, muxed_;
  std::optional<FramesTail> tail_;

  std::unique_ptr<ChildProcess> live_, tap_;
  bool liveEnded_ = false, tapEnded_ = false;
  int signals_ = 0;
  bool abandoned_ = false;

  std::optional<Clock::time_point> liveStarted_, recStarted_, stopAt_;
  std::optional<double> tapStarted_;  // wall clock, noted when the line was read
  bool liveErrorSeen_ = false, tapErrorSeen_ = false;
  bool recSent_ = false, stopSent_ = false, quitSent_ = false, tapTermSent_ = false,
       killed_ = false;
  std::optional<long long> recStopped_, soundFrames_;
  double level_ = -1, recordedSeconds_ = 0;
};

bool Recording::startChildren() {
  auto tap = ChildProcess::start({programs_.looptap, wav_});
  if (!tap) {
    console_.error("ERR:sound: " + tap.message() + "; recording the camera alone");
    tapEnded_ = true;
  } else {
    tap_ = std::move(*tap);
  }
  auto live = ChildProcess::start({programs_.lumipose, "live", preview_});
  if (!live) {
    console_.error("ERR:camera: " + live.message());
    return false;
  }
  live_ = std::move(*live);
  return true;
}

void Recording::takeSignals() {
  for ([[maybe_unused]] int s : inbox_.take()) {
    if (++signals_ == 1)
      requestStop();
    else
      abandoned_ = true;
  }
}

void Recording::onLiveLine(const std::string& text) {
  const ChildLine l = parseChildLine(text);
  switch (l.kind) {
    case LineKind::started:
      liveStarted_ = Clock::now();
      break;
    case LineKind::recStarted:
      recStarted_ = Clock::now();
      break;
    case LineKind::recStopped:
      recStopped_ = static_cast<long long>(l.value);
      if (recStarted_)
        recordedSeconds_ = std::chrono::duration<double>(Clock::now() - *recStarted_).count();
      break;
    case LineKind::error:
      liveErrorSeen_ = true;
      console_.error(explainError(Source::camera, l.text));
      // The camera is gone: live has finished the movie (REC:stopped follows), and so does the
      // recording, with what both programs have.
      if (l.text == "camera-lost") requestStop();
      break;
    default:
      break;
  }
}

void Recording::onTapLine(const std::string& text) {
  const ChildLine l = parseChildLine(text);
  switch (l.kind) {
    case LineKind::started:
      // Rule 1 of the timing contract: the moment the line is read.
      tapStarted_ = wallNow();
      break;
    case LineKind::level:
      level_ = l.value;
      break;
    case LineKind::stopped:
      soundFrames_ = static_cast<long long>(l.value);
      break;
    case LineKind::error:
      tapErrorSeen_ = true;
      console_.error(explainError(Source::sound, l.text));
      break;
    default:
      break;
  }
}

// A child that ends by itself before it was told to ends the recording, except a sound
// recorder that never started: then the camera records alone.
void Recording::noteEnds() {
  if (tap_ && !tapEnded_ && tap_->outputsEnded()) {
    const ChildEnd end = tap_->wait();
    tapEnded_ = true;
    if (killed_) {
      // Said when it was killed.
    } else if (!tapStarted_) {
      if (!tapErrorSeen_)
        console_.error("ERR:sound: talvex-looptap ended (" + end.describe() +
                       "); recording the camera alone");
    } else if (!tapTermSent_ || end.signal != 0) {
      console_.error("ERR:sound: talvex-looptap ended (" + end.describe() + ")" +
                     (stopAt_ ? "" : "; the recording ends with the sound so far"));
      requestStop();
    }
  }
  if (live_ && !liveEnded_ && live_->outputsEnded()) {
    const ChildEnd end = live_->wait();
    liveEnded_ = true;
    if (!killed_ && (!quitSent_ || end.signal != 0 || end.exitCode != 0)) {
      if (!liveErrorSeen_ || end.exitCode != 1)  // exit 1 came with its ERR line
        console_.error("ERR:camera: talvex-lumipose ended (" + end.describe() + ")");
      requestStop();
    }
  }
}

void Recording::requestStop() {
  if (stopAt_) return;
  stopAt_ = Clock::now();
  if (recStarted_)
    recordedSeconds_ = std::chrono::duration<double>(*stopAt_ - *recStarted_).count();
}

// Sends what the state calls for: REC once the camera runs, then the stop in the documented
// order (STOP, wait for REC:stopped; SIGTERM to looptap; QUIT), and kills what does not stop.
void Recording::advance() {
  const auto now = Clock::now();
  if (!stopAt_ && !recSent_ && liveStarted_ && !liveEnded_ &&
      (tapStarted_ || tapEnded_ || now - *liveStarted_ >= kWaitForSound)) {
    (void)live_->send("REC " + movie_ + "\t" + frames_ + "\n");
    recSent_ = true;
  }
  if (!stopAt_ && recStarted_ && o_.seconds &&
      std::chrono::duration<double>(now - *recStarted_).count() >= *o_.seconds)
    requestStop();
  if (!stopAt_) return;

  if (recSent_ && !recStopped_ && !liveEnded_ && !stopSent_) {
    (void)live_->send("STOP\n");
    stopSent_ = true;
  }
  // The movie is finished (or there is none, or no camera program to finish it): the sound
  // can stop too, and the camera program quit.
  if (recStopped_ || !recSent_ || liveEnded_) {
    if (!tapEnded_ && !tapTermSent_) {
      tap_->signal(SIGTERM);
      tapTermSent_ = true;
    }
    if (!liveEnded_ && !quitSent_) {
      (void)live_->send("QUIT\n");
      live_->closeInput();
      quitSent_ = true;
    }
  }
  if (!killed_ && now - *stopAt_ >= kStopGrace) {
    killed_ = true;
    if (!liveEnded_) console_.error("ERR:camera: talvex-lumipose did not stop; killed");
    if (!tapEnded_) console_.error("ERR:sound: talvex-looptap did not stop; killed");
    killChildren();
  }
}

// Until the next redraw, or the end of --seconds if that comes first.
std::chrono::milliseconds Recording::nextWait() const {
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kTick);
  if (recStarted_ && o_.seconds && !stopAt_) {
    const auto end = *recStarted_ + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(*o_.seconds));
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    wait = std::clamp(left, std::chrono::milliseconds(0), wait);
  }
  return wait;
}

void Recording::killChildren() {
  if (live_ && !liveEnded_) live_->signal(SIGKILL);
  if (tap_ && !tapEnded_) tap_->signal(SIGKILL);
}

void Recording::showStatus() {
  tail_->update();
  Progress p;
  p.recording = recStarted_.has_value() && !stopAt_;
  if (recStarted_) p.seconds = std::chrono::duration<double>(Clock::now() - *recStarted_).count();
  p.level = tapStarted_ && !tapEnded_ ? level_ : -1;
  p.faces = tail_->faces();
  p.records = tail_->records();
  console_.status(stopAt_ ? "stopping... " + statusText(p) : statusText(p));
}

bool Recording::recordUntilStopped() {
  while (!liveEnded_ || !tapEnded_) {
    std::vector<ChildProcess*> running;
    if (live_ && !liveEnded_) running.push_back(live_.get());
    if (tap_ && !tapEnded_) running.push_back(tap_.get());
    waitForActivity(running, &inbox_, nextWait());
    takeSignals();
    if (abandoned_) {
      killChildren();
      return false;
    }
    if (tap_)
      for (const std::string& l : tap_->takeErrorLines()) onTapLine(l);
    if (live_)
      for (const std::string& l : live_->takeErrorLines()) onLiveLine(l);
    noteEnds();
    advance();
    showStatus();
  }
  return true;
}

Recording::Helper Recording::runHelper(const std::vector<std::string>& argv, int abandonSignal) {
  Helper h;
  auto child = ChildProcess::start(argv);
  if (!child) {
    h.end = ChildEnd{};
    h.errors.push_back(child.message());
    return h;
  }
  ChildProcess* c = child->get();
  bool told = false;
  while (!c->outputsEnded()) {
    waitForActivity(std::span(&c, 1), &inbox_, kTick);
    for (const std::string& l : c->takeErrorLines())
      if (l.rfind("ERR:", 0) == 0) h.errors.push_back(l.substr(4));
    c->takeOutputLines();  // its result line; the exit status says the same
    for ([[maybe_unused]] int s : inbox_.take())
      if (++signals_ >= 2 && !told) {
        c->signal(abandonSignal);
        told = abandoned_ = true;
      }
  }
  const ChildEnd end = c->wait();
  for (const std::string& l : c->takeErrorLines())
    if (l.rfind("ERR:", 0) == 0) h.errors.push_back(l.substr(4));
  if (!told) h.end = end;
  return h;
}

void Recording::drawSheet() {
  Helper h = runHelper({programs_.overlay, o_.out, kept_.frames, kept_.sheet}, SIGINT);
  if (!h.end) {
    console_.error("ERR:sheet: interrupted; no contact sheet");
    return;
  }
  for (const std::string& e : h.errors) console_.error("ERR:sheet: " + e);
  if (h.end->exitCode != 0 && h.errors.empty())
    console_.error("ERR:sheet: talvex-overlay ended (" + h.end->describe() + ")");
}

int Recording::finish() {
  tail_->update();
  const bool haveMovie = nonEmptyFile(movie_) && (!recStopped_ || *recStopped_ > 0);
  if (!haveMovie) {
    console_.error("ERR:no movie: the camera recorded nothing; nothing written");
    return kNoMovie;
  }
  const std::optional<double> startEpoch = tail_->startEpoch();
  const bool haveSound = tapStarted_ && nonEmptyFile(wav_) && soundFrames_.value_or(1) > 0;
  std::string why;  // why the movie has no sound
  double offset = 0;
  if (!haveSound) {
    why = "no sound was recorded";
  } else if (!startEpoch) {
    why = "the frames file has no start_epoch to place the sound by";
  } else {
    // Rule 3 of the timing contract.
    offset = *tapStarted_ - *startEpoch;
    Helper h =
        runHelper({programs_.lumipose, "mux", movie_, wav_, muxed_, offsetText(offset)}, SIGKILL);
    if (!h.end) {  // abandoned: the work folder takes mux's files with it
      console_.error("ERR:interrupted twice: stopped at once; nothing written");
      return kNoMovie;
    }
    if (h.end->exitCode != 0 || !nonEmptyFile(muxed_))
      why = "mux failed: " + (h.errors.empty() ? h.end->describe() : h.errors.front());
  }
  const bool muxed = why.empty();
  if (::rename((muxed ? muxed_ : movie_).c_str(), o_.out.c_str()) != 0) {
    console_.error("ERR:cannot write " + o_.out + ": " + std::strerror(errno));
    return kNoMovie;
  }
  if (!muxed) console_.error("ERR:" + o_.out + " is the camera's movie without sound: " + why);
  const bool keptFrames =
      tail_->startEpoch() && ::rename(frames_.c_str(), kept_.frames.c_str()) == 0;
  if (!keptFrames) console_.error("ERR:no frames file kept beside the movie");

  std::string summary = o_.out + ": " + clockText(recordedSeconds_) + ", " +
                        std::to_string(recStopped_.value_or(0)) + " frames, ";
  summary += muxed ? "sound offset " + offsetText(offset, 3) + " s" : "no sound";
  if (keptFrames)
    summary += "; " + kept_.frames + " (" + std::to_string(tail_->records()) + " records)";
  if (o_.sheet && keptFrames && !abandoned_) {
    console_.status("drawing the contact sheet...");
    drawSheet();
    if (nonEmptyFile(kept_.sheet)) summary += "; " + kept_.sheet;
  }
  console_.summary(summary);
  return muxed ? kMovieWithSound : kMovieWithoutSound;
}

int Recording::run() {
  for (const std::string& path : {o_.out, kept_.frames, o_.sheet ? kept_.sheet : o_.out}) {
    if (Status s = checkReplaceable(path); !s) {
      console_.error("ERR:cannot write " + path + ": it is not a regular file");
      return kNoMovie;
    }
  }
  auto work = WorkFolder::create(o_.out);
  if (!work) {
    console_.error("ERR:cannot write " + o_.out + ": " + work.message());
    return kNoMovie;
  }
  work_ = std::move(*work);
  // The control line REC separates its two paths by a tab and ends with a line feed.
  if (work_->file("").find_first_of("\t\n") != std::string::npos) {
    console_.error("ERR:cannot write " + o_.out + ": its folder's path holds a tab or line feed");
    return kNoMovie;
  }
  movie_ = work_->file("camera.mov");
  frames_ = work_->file("frames.jsonl");
  wav_ = work_->file("sound.wav");
  preview_ = work_->file("preview.jpg");
  muxed_ = work_->file("movie.mov");
  tail_.emplace(frames_);

  if (!startChildren()) {
    if (tap_) tap_->signal(SIGTERM);
    return kNoMovie;
  }
  if (!recordUntilStopped()) {
    console_.error("ERR:interrupted twice: stopped at once; nothing written");
    return kNoMovie;
  }
  console_.clear();
  return finish();
}

}  // namespace

Programs programsBesideThisOne() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string dir = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("./x");
  dir.resize(dir.rfind('/') + 1);
  return {dir + "talvex-lumipose", dir + "talvex-looptap", dir + "talvex-overlay"};
}

int record(const Options& options, const Programs& programs, SignalInbox& inbox, Console& console) {
  return Recording(options, programs, inbox, console).run();
}

}  // namespace talvex::record
