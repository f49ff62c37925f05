#include "lumipose/live/live.h"

#include <filesystem>

#include "lumipose/analysis/face_measures.h"
#include "lumipose/live/capture_clock.h"
#include "lumipose/live/recording_paths.h"
#include "lumipose/output/frames_format.h"
#include "platform/process/output.h"

namespace talvex::lumipose {
namespace {

// Frames waiting for or in analysis: one being analysed and three next in line. A frame whose
// detectors run (every fifth analysed frame) takes three to four times as long as one that
// follows what was found, and the analysis thread shares two cores with the camera, the
// encoder and other programs: with only one place in line, 1 to 4 of 170 due records were lost
// to such bursts on a loaded machine while every movie frame was kept. Each waiting frame holds
// its picture (1.4 MB); a stop waits for those in line.
constexpr int kAnalysisHandOff = 4;
constexpr int kPreviewEvery = 6;
// How often a lost camera is looked for again.
constexpr std::chrono::milliseconds kReconnectEvery{500};

void removeQuietly(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

}  // namespace

Live::Live(std::string previewPath, media::CameraSource& source, DetectorLoader loadDetector,
           LiveHooks hooks)
    : source_(source),
      loadDetector_(std::move(loadDetector)),
      hooks_(std::move(hooks)),
      previewPath_(std::move(previewPath)),
      previewFile_(previewPath_, [](const std::string& why) {
        // Said once: the next picture would most likely fail the same way.
        say("ERR:cannot write the preview: " + why);
      }) {
  if (!hooks_.exit) hooks_.exit = [](int status) { exitProcess(status); };
}

Live::~Live() {
  // Frame work still queued uses the fields below; let it run before they go. Once quitting
  // is set, a search for a camera still waiting on the queue does nothing.
  queue_.sync([this] {
    quitting_ = true;
    if (session_) session_->stop();
  });
  queue_.sync([] {});
  analysis_.sync([] {});
}

void Live::useDetector(std::unique_ptr<vision::Detector> detector) {
  analyzer_.emplace(std::move(detector));
}

void Live::start() {
  auto camera = source_.open();
  if (!camera) {
    say("ERR:" + camera.message());
    return end(1);
  }
  if (!analyzer_) {
    // The detectors load on the analysis queue, beside the running camera: the session is live
    // (previews, recordings, quitting) at once, and the first analysis waits for them.
    analysis_.async([this] {
      auto detector = loadDetector_();
      if (detector) {
        analyzer_.emplace(std::move(detector.value()));
        return;
      }
      say("ERR:" + detector.message());
      stop([this] { shutDown(1); });
    });
  }
  // The session is a frame-queue field: a quit from a signal may already be running there
  // while the permission thread gets here.
  queue_.sync([this, &camera] { resume(std::move(camera.value())); });
}

void Live::end(int status) { hooks_.exit(status); }

void Live::resume(std::unique_ptr<media::Camera> camera) {
  if (quitting_) return;
  session_ = std::move(camera);
  picturesSinceResume_ = 0;
  updatePictureWanted();
  session_->start(
      queue_, [this](const media::CameraFrame& f) { captureOutput(f); },
      [this](media::CameraLoss why) { cameraLost(why); }, [this] { return pictureWanted_.load(); });
}

void Live::cameraLost(media::CameraLoss why) {
  if (!session_ || quitting_) return;
  if (!started_) {
    // The camera opened but never gave a picture: the session cannot start.
    say(why == media::CameraLoss::Unusable ? "ERR:camera-unusable"
        : why == media::CameraLoss::Silent ? "ERR:camera-no-frames"
                                           : "ERR:camera-lost");
    stopRecording({});
    return shutDown(1);
  }
  // A camera reopened after a loss that never gave a picture is still the same loss: one line.
  if (picturesSinceResume_ > 0) {
    say("ERR:camera-lost");
    // What was recorded so far is kept: the movie and frames file are finished as by STOP.
    stopRecording({});
  }
  session_->stop();
  session_.reset();
  queue_.asyncAfter(kReconnectEvery, [this] { searchForCamera(); });
}

void Live::searchForCamera() {
  if (quitting_ || session_) return;
  // The first camera that opens takes over the session; without one, a calm pace.
  auto camera = source_.open();
  if (!camera) return queue_.asyncAfter(kReconnectEvery, [this] { searchForCamera(); });
  resume(std::move(camera.value()));
}

void Live::updatePictureWanted() {
  pictureWanted_ =
      !started_ || picturesSinceResume_ == 0 || writer_ || (frameNo_ + 1) % kPreviewEvery == 0;
}

void Live::captureOutput(const media::CameraFrame& frame) {
  const auto began = std::chrono::steady_clock::now();
  const PixelBuffer& image = frame.image;
  // A frame without its picture was not decoded because nothing needed it; it still counts.
  const bool hasPicture = image.planeCount() > 0;
  if (!started_ && hasPicture) {
    started_ = true;
    say("STARTED");
  }
  ++frameNo_;
  if (hasPicture) ++picturesSinceResume_;
  const media::MediaTime pts = frame.pts;
  // A recording asks for every picture from when it opens; one frame already on its way
  // without its picture cannot start it.
  if (writer_ && hasPicture) {
    if (!recStart_) {
      recStart_ = pts;
      writer_->startSession(pts);
      if (lines_) {
        // The moment the frame was captured, not the moment it is handled here: it may have
        // waited behind the open-recording work or for a core.
        const double epoch = r3(captureWallClock(pts, readClocks()));
        // Through the analysis queue, so the header goes before every record; a recording's
        // frames never follow the last recording's.
        analysis_.async([this, w = lines_.get(), epoch] {
          if (!w->write(startEpochRecord(epoch))) recordingBroken(*w->error());
          if (analyzer_) analyzer_->startSequence();
        });
      }
      say("REC:started");
    }
    // A movie the disk no longer takes is not ready either: it holds what it has.
    if (auto broken = writer_->error()) recordingBroken(*broken);
    if (writer_->isReadyForMoreMediaData()) {
      writer_->append(image, pts);
      ++recFrames_;
    }
    // Analysis runs beside the frame queue so that slow detectors never hold up the movie.
    // A frame due while the hand-off is full gets no record, as a frame the camera drops
    // would not.
    if (isAnalysisFrame(frameNo_) && lines_ && analysesPending_.load() < kAnalysisHandOff) {
      const double t = media::subtract(pts, *recStart_).seconds();
      ++analysesPending_;
      analysis_.async([this, w = lines_.get(), image, t] {
        if (analyzer_ && !w->error() && !w->write(analyzer_->line(image, t)))
          recordingBroken(*w->error());
        --analysesPending_;
      });
    }
  }
  if (frameNo_ % kPreviewEvery == 0 && hasPicture) refreshPreview(image);
  updatePictureWanted();
  if (hooks_.frameTimed) hooks_.frameTimed(std::chrono::steady_clock::now() - began);
}

void Live::refreshPreview(const PixelBuffer& image) {
  auto jpeg = preview_.render(image);
  if (jpeg) previewFile_.offer(std::move(jpeg.value()));
}

void Live::recordingBroken(const std::string& why) {
  if (!brokenSaid_.exchange(true)) say("ERR:" + why);
}

void Live::rec(std::string movie, std::string frames) {
  queue_.async([this, movie = std::move(movie), frames = std::move(frames)] {
    openRecording(movie, frames);
  });
}

void Live::openRecording(const std::string& movie, const std::string& frames) {
  if (writer_) return;
  // Nothing at either path is touched before both are known to be the recording's own.
  if (Status usable = checkRecordingPaths(movie, frames, previewPath_); !usable) {
    say("ERR:" + usable.message());
    return;
  }
  removeQuietly(movie);
  auto created = media::MovieWriter::open(movie);
  if (!created) {
    say("ERR:" + created.message());
    return;
  }
  placed_ = PlacedFiles{};
  placed_.add(movie);
  std::unique_ptr<media::MovieWriter> w = std::move(created.value());
  if (!w->addVideoInput(media::VideoSettings{})) {
    say("ERR:movie input refused");
    return;
  }
  if (Status s = w->startWriting(); !s) {
    say("ERR:" + s.message());
    return;
  }
  // A frames file that cannot be created costs the recording its records, not its movie.
  auto openedFrames = LineWriter::openRegularFile(frames);
  lines_ = openedFrames ? std::move(openedFrames).value() : nullptr;
  if (lines_) placed_.add(frames);
  brokenSaid_ = false;
  recStart_.reset();
  recFrames_ = 0;
  writer_ = std::move(w);
  updatePictureWanted();
}

void Live::stop(Work then) {
  queue_.async([this, then = std::move(then)] { stopRecording(then); });
}

void Live::stopRecording(const Work& then) {
  if (!writer_) {
    if (then) then();
    return;
  }
  std::unique_ptr<media::MovieWriter> w = std::move(writer_);
  // Taken before a movie without frames is dropped on purpose: a file gone by now was removed
  // (or its folder was) while it was written, and the parent would look for it in vain.
  const std::vector<std::string> gone = placed_.missing();
  w->markAsFinished();
  Semaphore done{0};
  if (!recStart_) {
    w->cancelWriting();
    done.release();
  } else {
    w->finishWriting([&done] { done.release(); });
  }
  done.acquire();
  // The count is what the finished movie holds: every frame handed over, unless the disk
  // stopped taking them, when it is the frames up to the last fragment that was kept.
  const int64_t n = recStart_ ? w->framesInFile() : 0;
  if (auto broken = w->error()) recordingBroken(*broken);
  w.reset();
  // Records of frames already handed to the analysis are part of this recording.
  analysis_.sync([] {});
  if (lines_) {
    if (Status closed = lines_->close(); !closed) recordingBroken(closed.message());
  }
  lines_.reset();
  for (const std::string& path : gone) say("ERR:removed while recording: " + path);
  say("REC:stopped:" + std::to_string(n));
  updatePictureWanted();
  if (then) then();
}

void Live::quit() {
  stop([this] { shutDown(0); });
}

void Live::shutDown(int status) {
  quitting_ = true;
  if (session_) session_->stop();
  previewFile_.remove();
  end(status);
}

}  // namespace talvex::lumipose
