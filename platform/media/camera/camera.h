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

// Why a running capture ended.
enum class CameraLoss {
  Gone,      // the device went away or failed (unplugged, driver error)
  Silent,    // it gives no frames
  Unusable,  // it gives frames, but none that can be used (cut short, the wrong size...)
};

// A running capture. Lifecycle: made by a CameraSource (the device is open and streaming),
// start() once, stop() at most once (also done by destruction). Frames are read on a capture
// thread of the camera's own and handed to the queue given to start(); a frame that arrives
// while the queue still handles the previous one is dropped, never queued up behind it. When
// the camera goes away (unplugged, no frame for longer than kCameraStallLimit, or only frames
// that cannot be used for that long) capture ends and `lost` runs once on the queue; the camera
// is then done and only waits to be stopped. Before the first frame a camera is given
// kCameraFirstFrameLimit, as sensors that set their exposure first can take seconds.
// start() and stop() may be called from any thread, stop() also from the frame queue.
class Camera {
 public:
  using FrameHandler = std::function<void(const CameraFrame&)>;
  using LossHandler = std::function<void(CameraLoss)>;
  // Asked on the capture thread before a frame is converted: whether its picture is wanted.
  // A frame whose picture is not wanted is still handed over, with an image without planes,
  // so that it counts; the camera converts one now and then anyway, to tell a working camera
  // from one whose frames cannot be used. Empty: every picture is wanted.
  using PictureWanted = std::function<bool()>;
  virtual ~Camera() = default;
  // `queue` is borrowed and must outlive the camera's capture.
  virtual void start(SerialQueue& queue, FrameHandler handler, LossHandler lost = {},
                     PictureWanted wanted = {}) = 0;
  virtual void stop() = 0;
  virtual CameraStats stats() const = 0;
};

// A camera that gives no usable frame for this long is taken to be gone.
inline constexpr std::chrono::milliseconds kCameraStallLimit{2000};
// How long a camera just started may take to give its first frame.
inline constexpr std::chrono::milliseconds kCameraFirstFrameLimit{5000};

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

// The first V4L2 capture node that offers a usable mode and opens, in the best mode it offers
// (capture_format.h), read through memory-mapped streaming; frames of another size are fitted
// into 1280x720 with their aspect kept.
std::unique_ptr<CameraSource> deviceCameraSource();

}  // namespace talvex::media
