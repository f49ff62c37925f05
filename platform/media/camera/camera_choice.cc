// Which backend is the program's camera: PipeWire when the session's daemon answers and offers
// a camera node (it shares cameras between programs and reaches libcamera's), else V4L2.
#include <optional>

#include "platform/media/camera/camera.h"
#include "platform/media/camera/pipewire_camera.h"
#include "platform/media/camera/pipewire_cameras.h"
#include "platform/media/camera/pipewire_connection.h"
#include "platform/media/camera/v4l2_camera.h"

namespace talvex::media {
namespace {

// The choice is made again at every open, so that a daemon that starts or stops during a
// session, or a camera that moves between them, is followed.
class ChosenSource : public CameraSource {
 public:
  CameraPermission permission() override { return cameraPermission(); }
  bool requestAccess() override { return requestCameraAccess(); }

  Result<std::unique_ptr<Camera>> open() override {
    using R = Result<std::unique_ptr<Camera>>;
    const auto deadline = std::chrono::steady_clock::now() + kPipewireAnswerLimit;
    auto connection = PipewireConnection::connect(deadline, PipewireConnection::Purpose::Stream);
    if (connection) {
      const PipewireCameras cameras = listPipewireCameras(*connection.value(), deadline);
      // As on V4L2: the first camera that streams; when none does, the first one's failure.
      std::optional<R> first;
      for (const PipewireCameraNode& node : cameras.nodes) {
        R camera = openPipewireCamera(connection.value(), node);
        if (camera) return camera;
        if (!first) first = std::move(camera);
      }
      if (first) return std::move(*first);
    }
    return v4l2_->open();
  }

 private:
  std::unique_ptr<CameraSource> v4l2_ = v4l2CameraSource();
};

}  // namespace

std::unique_ptr<CameraSource> deviceCameraSource() { return std::make_unique<ChosenSource>(); }

}  // namespace talvex::media
