// Camera capture: frames of the default camera as NV12 full-range images with presentation
// times, handed one at a time to a serial queue. No FFmpeg or V4L2 type appears here.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/image/pixel_buffer.h"
#include "platform/media/camera/camera_permission.h"
#include "platform/media/media_time.h"
#include "platform/process/dispatch.h"
#include "platform/process/result.h"

namespace talvex::media {

struct CameraFrame {
  PixelBuffer image;
  // On the source's monotonic clock, in microseconds.
  MediaTime pts;
};

// What a camera has done so far; the counters only grow.
struct CameraStats {
  int64_t produced = 0;   // frames the source gave
  int64_t delivered = 0;  // frames handed to the queue
  int64_t dropped = 0;    // frames left out because the queue was still busy
};

// A running capture. Lifecycle: made by a CameraSource (the device is open and streaming),
// start() once, stop() at most once (also done by destruction). Frames are read on a capture
// thread of the camera's own and handed to the queue given to start(); a frame that arrives
// while the queue still handles the previous one is dropped, never queued up behind it. When
// the camera goes away (unplugged, or no frame for longer than kCameraStallLimit) capture ends
// and `lost` runs once on the queue; the camera is then done and only waits to be stopped.
// start() and stop() may be called from any thread, stop() also from the frame queue.
class Camera {
 public:
  using FrameHandler = std::function<void(const CameraFrame&)>;
  virtual ~Camera() = default;
  // `queue` is borrowed and must outlive the camera's capture.
  virtual void start(SerialQueue& queue, FrameHandler handler, Work lost = {}) = 0;
  virtual void stop() = 0;
  virtual CameraStats stats() const = 0;
};

// A camera that gives no frame for this long is taken to be gone.
inline constexpr std::chrono::milliseconds kCameraStallLimit{2000};

// Where the program's camera comes from. The shipped program uses the default V4L2 device;
// the test program plays an FFmpeg input instead, through the same capture code.
class CameraSource {
 public:
  virtual ~CameraSource() = default;
  virtual CameraPermission permission() = 0;
  // Asks for access; true when granted. May block, so call it off the main thread.
  virtual bool requestAccess() = 0;
  // Opens the camera without starting it. Fails with "no-camera" when there is none, or with
  // the system's description of why the device cannot be opened.
  virtual Result<std::unique_ptr<Camera>> open() = 0;
};

// The first V4L2 capture device, at 1280x720, 30 frames per second where offered, read
// through memory-mapped streaming.
std::unique_ptr<CameraSource> deviceCameraSource();

}  // namespace talvex::media
