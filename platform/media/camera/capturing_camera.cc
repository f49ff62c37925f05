#include "platform/media/camera/capturing_camera.h"

namespace talvex::media {
namespace {

// How long a frame waits for the frame queue to take the one before. A thread that was kept
// from running (another program's burst, a core shared with the encoder) catches up by taking
// the frames the driver kept meanwhile one right after another; dropping each frame that finds
// the queue busy for an instant would lose them. The driver keeps three more frames (a tenth of
// a second at 30 fps, 50 ms at 60) while this one waits; a queue still busy after this long is
// really behind (or blocked while a recording is finished), and the frame is late.
constexpr std::chrono::milliseconds kLateAfter{50};

}  // namespace

void CapturingCamera::start(SerialQueue& queue, FrameHandler handler, LossHandler lost,
                            PictureWanted wanted) {
  if (capture_) return;
  queue_ = &queue;
  handler_ = std::make_shared<const FrameHandler>(std::move(handler));
  lost_ = std::move(lost);
  wanted_ = std::move(wanted);
  capture_ = std::make_unique<SerialQueue>("lumipose.camera");
  capture_->async([this] { captureLoop(); });
}

CameraStats CapturingCamera::stats() const {
  return CameraStats{produced_.load(), delivered_.load(), dropped_.load()};
}

void CapturingCamera::joinCapture() {
  {
    std::lock_guard lock(handOff_->mutex);
    stopping_ = true;
  }
  // A frame waiting for the frame queue gives up at once: the queue may be the one stopping us.
  handOff_->freed.notify_all();
  capture_.reset();  // joins the capture thread
}

bool CapturingCamera::queueFree() {
  ++produced_;
  std::unique_lock lock(handOff_->mutex);
  const bool free = handOff_->freed.wait_for(
      lock, kLateAfter, [this] { return !handOff_->busy || stopping_.load(); });
  if (free && !stopping_.load()) return true;
  ++dropped_;
  return false;
}

void CapturingCamera::deliver(CameraFrame frame) {
  {
    std::lock_guard lock(handOff_->mutex);
    handOff_->busy = true;
  }
  ++delivered_;
  queue_->async([handOff = handOff_, handler = handler_, out = std::move(frame)] {
    (*handler)(out);
    {
      std::lock_guard lock(handOff->mutex);
      handOff->busy = false;
    }
    handOff->freed.notify_one();
  });
}

void CapturingCamera::captureEnded(CameraLoss why) {
  if (!stopping_ && lost_) queue_->async([lost = lost_, why] { lost(why); });
}

}  // namespace talvex::media
