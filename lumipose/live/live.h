// The live camera session: camera frames, the mirrored preview, recordings into a movie and a
// frames file, and quitting.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "lumipose/analysis/analyzer.h"
#include "lumipose/live/preview_file.h"
#include "lumipose/live/recording_paths.h"
#include "lumipose/output/line_writer.h"
#include "platform/image/preview_renderer.h"
#include "platform/media/camera/camera.h"
#include "platform/media/media_time.h"
#include "platform/media/write/movie_writer.h"
#include "platform/process/dispatch.h"
#include "platform/vision/load_detector.h"

namespace talvex::lumipose {

using DetectorLoader = std::function<Result<std::unique_ptr<vision::Detector>>()>;

// What the session does at its edges, replaceable for tests and measurements.
struct LiveHooks {
  // Ends the process with a status; by default at once, without cleanup.
  std::function<void(int)> exit;
  // Told, on the frame queue, how long each frame's work took.
  std::function<void(std::chrono::nanoseconds)> frameTimed;
};

// Lifecycle: constructed once (touches neither camera nor files), start() once, then
// rec/stop/quit any number of times until quit ends the process. A camera that never gives a
// usable picture ends the process ("ERR:camera-unusable" or "ERR:camera-no-frames", status 1).
// A camera that goes away during the session finishes any recording ("ERR:camera-lost",
// "REC:stopped:N"); the session keeps reading control lines and takes the next camera that
// opens. Threading: every field that
// changes lives on the frame queue "lumipose.frames"; rec(), stop() and quit() may be called
// from any thread and only submit work there. The frame analysis of a recording runs on a
// queue of its own, fed from the frame queue. Owns the camera, the frame queue, the analyser
// and, while recording, the movie writer and the frames file writer; borrows the source.
class Live {
 public:
  Live(std::string previewPath, media::CameraSource& source, DetectorLoader loadDetector,
       LiveHooks hooks = {});
  ~Live();
  Live(const Live&) = delete;
  Live& operator=(const Live&) = delete;

  // Opens the camera and starts the frames; the detectors load meanwhile on the analysis
  // queue. Any failure prints its "ERR:" line and ends the process with status 1 (after
  // finishing a recording that is open by then).
  void start();

  // Opens a recording into `movie` and `frames` (nothing when one is open already).
  void rec(std::string movie, std::string frames);
  // Stops the open recording, if any, then runs `then` on the frame queue.
  void stop(Work then = {});
  // Stops any recording, the camera, removes the preview and ends the process with status 0.
  void quit();

  // The frame pipeline, called on the frame queue for each camera frame.
  void captureOutput(const media::CameraFrame& frame);

  SerialQueue& frameQueue() { return queue_; }
  // Before start(), tests give the analyser directly instead of loading detectors.
  void useDetector(std::unique_ptr<vision::Detector> detector);

 private:
  void openRecording(const std::string& movie, const std::string& frames);
  void stopRecording(const Work& then);
  void refreshPreview(const PixelBuffer& image);
  // Says once per recording why its files can no longer be written. Any thread.
  void recordingBroken(const std::string& why);
  void end(int status);
  // Frame queue: runs `camera` as the session's camera.
  void resume(std::unique_ptr<media::Camera> camera);
  // Frame queue: the camera went away; finishes any recording and looks for a camera again,
  // or ends the process when the camera never gave a picture.
  void cameraLost(media::CameraLoss why);
  // Frame queue: tries to open a camera, and tries again later while there is none.
  void searchForCamera();
  // Frame queue: tells the camera whether the next frame's picture is needed.
  void updatePictureWanted();
  // Frame queue: stops the camera, removes the preview and ends with `status`.
  void shutDown(int status);

  media::CameraSource& source_;
  DetectorLoader loadDetector_;
  LiveHooks hooks_;
  SerialQueue queue_{"lumipose.frames"};
  std::string previewPath_;
  PreviewRenderer preview_;
  PreviewFile previewFile_;
  std::optional<Analyzer> analyzer_;
  std::unique_ptr<media::Camera> session_;

  // Frame queue only.
  bool started_ = false;
  bool quitting_ = false;
  int64_t frameNo_ = 0;
  int64_t picturesSinceResume_ = 0;
  std::unique_ptr<media::MovieWriter> writer_;  // present exactly while a recording is open
  std::unique_ptr<LineWriter> lines_;
  PlacedFiles placed_;  // the open recording's files
  std::optional<media::MediaTime> recStart_;
  int64_t recFrames_ = 0;

  // The analysis queue runs the analyser and writes to `lines_`: work for it is posted from the
  // frame queue after `lines_` is opened, and the stop drains it before `lines_` is closed.
  // Declared last so that it is drained before the fields it uses go.
  std::atomic<int> analysesPending_{0};
  std::atomic<bool> brokenSaid_{false};  // reset when a recording opens
  SerialQueue analysis_{"lumipose.analysis"};
  // Written on the frame queue, read by the camera's capture thread before each frame: frames
  // whose picture nothing needs (not recording, no preview due) are not decoded.
  std::atomic<bool> pictureWanted_{true};
};

}  // namespace talvex::lumipose
