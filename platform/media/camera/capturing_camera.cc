#include "platform/media/camera/capturing_camera.h"

namespace talvex::media {

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
  stopping_ = true;
  capture_.reset();  // joins the capture thread
}

bool CapturingCamera::queueFree() {
  ++produced_;
  if (!busy_->load()) return true;
  ++dropped_;
  return false;
}

void CapturingCamera::deliver(CameraFrame frame) {
  busy_->store(true);
  ++delivered_;
  queue_->async([busy = busy_, handler = handler_, out = std::move(frame)] {
    (*handler)(out);
    busy->store(false);
  });
}

void CapturingCamera::captureEnded(CameraLoss why) {
  if (!stopping_ && lost_) queue_->async([lost = lost_, why] { lost(why); });
}

}  // namespace talvex::media
