#include "lumipose/testcam/frame_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/process/unique_fd.h"

namespace talvex::lumipose {
namespace {

// The log's descriptor is shared with the frame handler, which may outlive the camera.
using LogFile = const UniqueFd;

class LoggingCamera : public media::Camera {
 public:
  LoggingCamera(std::unique_ptr<media::Camera> camera, std::shared_ptr<LogFile> log)
      : camera_(std::move(camera)), log_(std::move(log)) {}
  void start(SerialQueue& queue, FrameHandler handler, LossHandler lost,
             PictureWanted wanted) override {
    camera_->start(
        queue,
        [log = log_, handler = std::move(handler)](const media::CameraFrame& f) {
          const auto reached = std::chrono::duration_cast<std::chrono::microseconds>(
              std::chrono::steady_clock::now().time_since_epoch());
          const int64_t pts =
              f.pts.timescale > 0 ? f.pts.value * 1000000 / f.pts.timescale : int64_t{-1};
          char line[64];
          const int n = std::snprintf(line, sizeof line, "%lld %lld\n", static_cast<long long>(pts),
                                      static_cast<long long>(reached.count()));
          if (n > 0) (void)!::write(log->get(), line, static_cast<size_t>(n));
          handler(f);
        },
        std::move(lost), std::move(wanted));
  }
  void stop() override { camera_->stop(); }
  media::CameraStats stats() const override { return camera_->stats(); }

 private:
  std::unique_ptr<media::Camera> camera_;
  std::shared_ptr<LogFile> log_;
};

class LoggingSource : public media::CameraSource {
 public:
  LoggingSource(media::CameraSource& source, std::string path)
      : source_(source), path_(std::move(path)) {}
  media::CameraPermission permission() override { return source_.permission(); }
  bool requestAccess() override { return source_.requestAccess(); }
  Result<std::unique_ptr<media::Camera>> open() override {
    auto camera = source_.open();
    if (!camera) return camera;
    auto log = std::make_shared<LogFile>(
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (!log->valid())
      return Result<std::unique_ptr<media::Camera>>::failure("cannot open the frame log");
    return std::unique_ptr<media::Camera>(
        std::make_unique<LoggingCamera>(std::move(camera.value()), std::move(log)));
  }

 private:
  media::CameraSource& source_;
  std::string path_;
};

}  // namespace

std::unique_ptr<media::CameraSource> frameLoggingSource(media::CameraSource& source,
                                                        std::string path) {
  return std::make_unique<LoggingSource>(source, std::move(path));
}

}  // namespace talvex::lumipose
