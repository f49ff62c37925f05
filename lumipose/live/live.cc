#include "lumipose/live/live.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "lumipose/analysis/face_measures.h"
#include "lumipose/live/capture_clock.h"
#include "platform/process/atomic_file.h"
#include "platform/process/output.h"

namespace talvex::lumipose {
namespace {

constexpr int kAnalysisEvery = 3;
// Frames waiting for or in analysis: one being analysed and one next in line.
constexpr int kAnalysisHandOff = 2;
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
      previewPath(std::move(previewPath)) {
  if (!hooks_.exit) hooks_.exit = [](int status) { exitProcess(status); };
}

Live::~Live() {
  // Frame work still queued uses the fields below; let it run before they go. Once quitting
  // is set, no search for a camera starts, and one running finds nothing to resume.
  queue.sync([this] {
    quitting = true;
    if (session) session->stop();
  });
  reconnect = std::jthread();
  queue.sync([] {});
  analysis.sync([] {});
}

void Live::useDetector(std::unique_ptr<vision::Detector> detector) {
  analyzer.emplace(std::move(detector));
}

void Live::start() {
  auto camera = source_.open();
  if (!camera) {
    say("ERR:" + camera.message());
    return end(1);
  }
  if (!analyzer) {
    // The detectors load on the analysis queue, beside the running camera: the session is live
    // (previews, recordings, quitting) at once, and the first analysis waits for them.
    analysis.async([this] {
      auto detector = loadDetector_();
      if (detector) {
        analyzer.emplace(std::move(detector.value()));
        return;
      }
      say("ERR:" + detector.message());
      stop([this] { shutDown(1); });
    });
  }
  // The session is a frame-queue field: a quit from a signal may already be running there
  // while the permission thread gets here.
  queue.sync([this, &camera] { resume(std::move(camera.value())); });
}

void Live::end(int status) { hooks_.exit(status); }

void Live::resume(std::unique_ptr<media::Camera> camera) {
  if (quitting) return;
  session = std::move(camera);
  framesSinceResume = 0;
  session->start(
      queue, [this](const media::CameraFrame& f) { captureOutput(f); }, [this] { cameraLost(); });
}

void Live::cameraLost() {
  if (!session || quitting) return;
  // A camera reopened after a loss that never gave a frame is still the same loss: one line.
  if (framesSinceResume > 0) {
    say("ERR:camera-lost");
    // What was recorded so far is kept: the movie and frames file are finished as by STOP.
    stopRecording({});
  }
  session->stop();
  session.reset();
  // Looks for a capture device again, off the frame queue, at a calm pace; the first camera
  // that opens takes over the session.
  reconnect = std::jthread([this](std::stop_token stop) {
    std::mutex mu;
    std::condition_variable_any cv;
    while (true) {
      std::unique_lock lock(mu);
      if (cv.wait_for(lock, stop, kReconnectEvery, [] { return false; }) || stop.stop_requested())
        return;
      auto camera = source_.open();
      if (!camera) continue;
      auto holder = std::make_shared<std::unique_ptr<media::Camera>>(std::move(camera.value()));
      queue.async([this, holder] { resume(std::move(*holder)); });
      return;
    }
  });
}

void Live::captureOutput(const media::CameraFrame& frame) {
  const auto began = std::chrono::steady_clock::now();
  const PixelBuffer& image = frame.image;
  if (image.planeCount() == 0) return;
  if (!started) {
    started = true;
    say("STARTED");
  }
  ++frameNo;
  ++framesSinceResume;
  const media::MediaTime pts = frame.pts;
  if (writer) {
    if (!recStart) {
      recStart = pts;
      writer->startSession(pts);
      if (lines) {
        // The moment the frame was captured, not the moment it is handled here: it may have
        // waited behind the open-recording work or for a core.
        const double epoch = r3(captureWallClock(pts, readClocks()));
        // Through the analysis queue, so the header goes before every record; a recording's
        // frames never follow the last recording's.
        analysis.async([this, w = lines.get(), epoch] {
          if (!w->write(nlohmann::ordered_json{{"start_epoch", epoch}}))
            recordingBroken(*w->error());
          if (analyzer) analyzer->startSequence();
        });
      }
      say("REC:started");
    }
    // A movie the disk no longer takes is not ready either: it holds what it has.
    if (auto broken = writer->error()) recordingBroken(*broken);
    if (writer->isReadyForMoreMediaData()) {
      writer->append(image, pts);
      ++recFrames;
    }
    // Analysis runs beside the frame queue so that slow detectors never hold up the movie.
    // A frame due while the hand-off is full gets no record, as a frame the camera drops
    // would not.
    if (frameNo % kAnalysisEvery == 0 && lines && analysesPending.load() < kAnalysisHandOff) {
      const double t = media::subtract(pts, *recStart).seconds();
      ++analysesPending;
      analysis.async([this, w = lines.get(), image, t] {
        if (analyzer && !w->error() && !w->write(analyzer->line(image, t)))
          recordingBroken(*w->error());
        --analysesPending;
      });
    }
  }
  if (frameNo % kPreviewEvery == 0) refreshPreview(image);
  if (hooks_.frameTimed) hooks_.frameTimed(std::chrono::steady_clock::now() - began);
}

void Live::refreshPreview(const PixelBuffer& image) {
  auto jpeg = preview.render(image);
  if (!jpeg) return;
  (void)writeFileAtomically(previewPath, jpeg.value());
}

void Live::recordingBroken(const std::string& why) {
  if (!brokenSaid.exchange(true)) say("ERR:" + why);
}

void Live::rec(std::string movie, std::string frames) {
  queue.async([this, movie = std::move(movie), frames = std::move(frames)] {
    openRecording(movie, frames);
  });
}

void Live::openRecording(const std::string& movie, const std::string& frames) {
  if (writer) return;
  removeQuietly(movie);
  auto created = media::MovieWriter::open(movie);
  if (!created) {
    say("ERR:" + created.message());
    return;
  }
  std::unique_ptr<media::MovieWriter> w = std::move(created.value());
  if (!w->addVideoInput(media::VideoSettings{})) {
    say("ERR:movie input refused");
    return;
  }
  if (Status s = w->startWriting(); !s) {
    say("ERR:" + (s.message().empty() ? std::string("movie could not be opened") : s.message()));
    return;
  }
  lines = LineWriter::open(frames);
  brokenSaid = false;
  recStart.reset();
  recFrames = 0;
  writer = std::move(w);
}

void Live::stop(Work then) {
  queue.async([this, then = std::move(then)] { stopRecording(then); });
}

void Live::stopRecording(const Work& then) {
  if (!writer) {
    if (then) then();
    return;
  }
  std::unique_ptr<media::MovieWriter> w = std::move(writer);
  w->markAsFinished();
  Semaphore done{0};
  if (!recStart) {
    w->cancelWriting();
    done.release();
  } else {
    w->finishWriting([&done] { done.release(); });
  }
  done.acquire();
  // The count is what the finished movie holds: every frame handed over, unless the disk
  // stopped taking them, when it is the frames up to the last fragment that was kept.
  const int64_t n = recStart ? w->framesInFile() : 0;
  if (auto broken = w->error()) recordingBroken(*broken);
  w.reset();
  // Records of frames already handed to the analysis are part of this recording.
  analysis.sync([] {});
  if (lines) {
    if (Status closed = lines->close(); !closed) recordingBroken(closed.message());
  }
  lines.reset();
  say("REC:stopped:" + std::to_string(n));
  if (then) then();
}

void Live::quit() {
  stop([this] { shutDown(0); });
}

void Live::shutDown(int status) {
  quitting = true;
  if (session) session->stop();
  removeQuietly(previewPath);
  end(status);
}

}  // namespace talvex::lumipose
