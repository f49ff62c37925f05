// What every camera shares: its capture thread and the hand-off of frames to the frame queue,
// one at a time. Internal to platform/media.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/media/camera/camera.h"

namespace talvex::media {

// Lifecycle: a derived camera implements captureLoop(), which runs on the capture thread from
// start() until stopping() is true, and ends its own stop() (and its destructor, through stop())
// with joinCapture(). Threading: queueFree(), deliver(), the counts and captureEnded() on the
// capture thread only; stats() from any thread.
class CapturingCamera : public Camera {
 public:
  void start(SerialQueue& queue, FrameHandler handler, LossHandler lost,
             PictureWanted wanted) final;
  CameraStats stats() const final;

 protected:
  virtual void captureLoop() = 0;
  bool stopping() const { return stopping_.load(); }
  // Sets stopping() and joins the capture thread.
  void joinCapture();

  // Counts a frame the source gave and waits, for a moment at most, until the frame queue has
  // handled the previous one; false (the frame counted as dropped) when it has not by then, so
  // the caller need not convert it.
  bool queueFree();
  // A frame the source gave that was lost before it got here.
  void countSkipped() {
    ++produced_;
    ++dropped_;
  }
  // A frame that could not be converted.
  void countDropped() { ++dropped_; }
  // Whether the consumer wants the next frame's picture.
  bool pictureWanted() const { return !wanted_ || wanted_(); }
  // Hands `frame` to the frame queue.
  void deliver(CameraFrame frame);
  // Capture has ended for good: `lost` runs once on the frame queue, unless stopping.
  void captureEnded(CameraLoss why);
  int64_t produced() const { return produced_.load(); }

 private:
  SerialQueue* queue_ = nullptr;
  std::shared_ptr<const FrameHandler> handler_;
  LossHandler lost_;
  PictureWanted wanted_;
  std::unique_ptr<SerialQueue> capture_;
  std::atomic<bool> stopping_{false};
  // Whether the frame queue still has the last frame handed to it. Shared with the work posted
  // there, which may outlive the camera.
  struct HandOff {
    std::mutex mutex;
    std::condition_variable freed;
    bool busy = false;
  };
  std::shared_ptr<HandOff> handOff_ = std::make_shared<HandOff>();
  std::atomic<int64_t> produced_{0}, delivered_{0}, dropped_{0};
};

}  // namespace talvex::media
