#include "platform/media/camera/played_camera.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/log.h>
#include <libavutil/time.h>
}

#include <sys/stat.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/media/av_handles.h"
#include "platform/media/camera/capturing_camera.h"
#include "platform/media/library_log.h"
#include "platform/media/live_format.h"
#include "platform/media/read/nv12_converter.h"

namespace talvex::media {
namespace {

constexpr int kWidth = kLiveWidth;
constexpr int kHeight = kLiveHeight;
constexpr int kFps = kLiveFps;
constexpr AVRational kMicros{1, 1000000};

void registerDevicesQuietly() {
  silenceLibraryLog();
  static std::once_flag once;
  std::call_once(once, [] { avdevice_register_all(); });
}

// Presentation times: the file's or filter graph's own timeline, laid onto the monotonic clock
// from the moment capture starts, paced to real time and looped at the end.
//
// Lifecycle: opened by a source, start() spawns the capture thread, stop() ends and joins it.
// Threading: the capture thread owns every FFmpeg object after start(); the frame queue only
// sees finished CameraFrames.
class FfmpegCamera : public CapturingCamera {
 public:
  FfmpegCamera(InputContextPtr input, int stream, CodecContextPtr decoder)
      : input_(std::move(input)), stream_(stream), decoder_(std::move(decoder)) {
    input_->interrupt_callback.callback = [](void* self) -> int {
      return static_cast<FfmpegCamera*>(self)->stopping() ? 1 : 0;
    };
    input_->interrupt_callback.opaque = this;
  }
  ~FfmpegCamera() override { stop(); }

  void stop() override { joinCapture(); }

 private:
  void captureLoop() override {
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!pkt || !frame) return;
    const AVStream* st = input_->streams[stream_];
    nominal_ = st->avg_frame_rate.num > 0 ? av_rescale_q(1, av_inv_q(st->avg_frame_rate), kMicros)
                                          : 1000000 / kFps;
    startSteady_ = std::chrono::steady_clock::now();
    startMono_ = av_gettime_relative();
    while (!stopping()) {
      int r = av_read_frame(input_.get(), pkt.get());
      if (r == AVERROR(EAGAIN)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      if (r < 0) {
        if (stopping()) break;
        if (r != AVERROR_EOF) {
          // The input failed for good, as an unplugged camera does.
          captureEnded(CameraLoss::Gone);
          break;
        }
        drain(nullptr, frame.get());
        avcodec_flush_buffers(decoder_.get());
        if (av_seek_frame(input_.get(), stream_,
                          st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time,
                          AVSEEK_FLAG_BACKWARD) < 0)
          break;
        loopBase_ = lastRel_ + nominal_;
        firstPts_ = AV_NOPTS_VALUE;
        continue;
      }
      if (pkt->stream_index == stream_) drain(pkt.get(), frame.get());
      av_packet_unref(pkt.get());
    }
  }

  void drain(const AVPacket* pkt, AVFrame* frame) {
    if (avcodec_send_packet(decoder_.get(), pkt) < 0) return;
    while (!stopping() && avcodec_receive_frame(decoder_.get(), frame) == 0) {
      handleFrame(*frame);
      av_frame_unref(frame);
    }
  }

  void handleFrame(const AVFrame& f) {
    const AVRational tb = input_->streams[stream_]->time_base;
    int64_t pts = f.best_effort_timestamp != AV_NOPTS_VALUE ? f.best_effort_timestamp : f.pts;
    if (pts == AV_NOPTS_VALUE) pts = firstPts_ == AV_NOPTS_VALUE ? 0 : lastPts_ + 1;
    if (firstPts_ == AV_NOPTS_VALUE) firstPts_ = pts;
    lastPts_ = pts;
    int64_t rel = loopBase_ + av_rescale_q(pts - firstPts_, tb, kMicros);
    if (produced() > 0 && rel <= lastRel_) rel = lastRel_ + nominal_;  // a source that jumps back
    lastRel_ = rel;
    // Real time: a frame is not given before its moment, like a camera's.
    std::this_thread::sleep_until(startSteady_ + std::chrono::microseconds(rel));
    const int64_t micros = startMono_ + rel;
    if (!queueFree()) return;
    Result<PixelBuffer> image = toNv12(f);
    if (!image) return;
    deliver(CameraFrame{std::move(image.value()), MediaTime::make(micros, 1000000)});
  }

  // A device that does not give the asked size is scaled to it, so that every consumer sees
  // 1280x720 as promised.
  Result<PixelBuffer> toNv12(const AVFrame& f) {
    if (f.width == kWidth && f.height == kHeight) return converter_.convert(f);
    if (!scaled_ || f.width != scaledFromW_ || f.height != scaledFromH_ ||
        f.format != scaledFromFmt_) {
      scaler_.reset(sws_getContext(f.width, f.height, static_cast<AVPixelFormat>(f.format), kWidth,
                                   kHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                                   nullptr));
      scaled_.reset(av_frame_alloc());
      if (!scaler_ || !scaled_)
        return Result<PixelBuffer>::failure("cannot scale the camera image");
      scaled_->format = AV_PIX_FMT_YUV420P;
      scaled_->width = kWidth;
      scaled_->height = kHeight;
      if (av_frame_get_buffer(scaled_.get(), 0) < 0)
        return Result<PixelBuffer>::failure("cannot scale the camera image");
      const int full = f.color_range == AVCOL_RANGE_JPEG || f.format == AV_PIX_FMT_YUVJ420P ||
                       f.format == AV_PIX_FMT_YUVJ422P;
      const int* coeffs = sws_getCoefficients(SWS_CS_DEFAULT);
      sws_setColorspaceDetails(scaler_.get(), coeffs, full, coeffs, full, 0, 1 << 16, 1 << 16);
      scaled_->color_range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
      scaledFromW_ = f.width;
      scaledFromH_ = f.height;
      scaledFromFmt_ = f.format;
    }
    sws_scale(scaler_.get(), f.data, f.linesize, 0, f.height, scaled_->data, scaled_->linesize);
    return converter_.convert(*scaled_);
  }

  InputContextPtr input_;
  int stream_;
  CodecContextPtr decoder_;
  Nv12Converter converter_;
  SwsContextPtr scaler_;
  FramePtr scaled_;
  int scaledFromW_ = 0, scaledFromH_ = 0, scaledFromFmt_ = -1;

  // Played clock state, capture thread only.
  std::chrono::steady_clock::time_point startSteady_;
  int64_t startMono_ = 0;
  int64_t firstPts_ = AV_NOPTS_VALUE, lastPts_ = 0;
  int64_t loopBase_ = 0, lastRel_ = 0, nominal_ = 1000000 / kFps;
};

Result<std::unique_ptr<Camera>> openInput(const char* url, const AVInputFormat* format,
                                          AVDictionary** options) {
  using R = Result<std::unique_ptr<Camera>>;
  AVFormatContext* raw = nullptr;
  int r = avformat_open_input(&raw, url, format, options);
  av_dict_free(options);
  if (r < 0) return R::failure(avErrorText(r));
  InputContextPtr input(raw);
  r = avformat_find_stream_info(input.get(), nullptr);
  if (r < 0) return R::failure(avErrorText(r));
  const AVCodec* codec = nullptr;
  int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream < 0 || !codec) return R::failure("no video in the camera input");
  CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder) return R::failure(avErrorText(AVERROR(ENOMEM)));
  r = avcodec_parameters_to_context(decoder.get(), input->streams[stream]->codecpar);
  if (r < 0) return R::failure(avErrorText(r));
  decoder->thread_count = 1;
  r = avcodec_open2(decoder.get(), codec, nullptr);
  if (r < 0) return R::failure(avErrorText(r));
  for (unsigned i = 0; i < input->nb_streams; ++i)
    if (static_cast<int>(i) != stream) input->streams[i]->discard = AVDISCARD_ALL;
  return std::unique_ptr<Camera>(
      std::make_unique<FfmpegCamera>(std::move(input), stream, std::move(decoder)));
}

class PlayedSource : public CameraSource {
 public:
  PlayedSource(std::string input, CameraPermission permission, std::function<bool()> ask)
      : input_(std::move(input)), permission_(permission), ask_(std::move(ask)) {}
  CameraPermission permission() override { return permission_; }
  bool requestAccess() override { return ask_ ? ask_() : true; }
  Result<std::unique_ptr<Camera>> open() override {
    if (input_.empty()) return Result<std::unique_ptr<Camera>>::failure("no-camera");
    registerDevicesQuietly();
    AVDictionary* options = nullptr;
    struct stat st {};
    // A path (existing, or with a slash and no option syntax) is a movie; the rest a graph.
    const bool isFile =
        ::stat(input_.c_str(), &st) == 0 ||
        (input_.find('/') != std::string::npos && input_.find('=') == std::string::npos);
    return openInput(input_.c_str(), isFile ? nullptr : av_find_input_format("lavfi"), &options);
  }

 private:
  std::string input_;
  CameraPermission permission_;
  std::function<bool()> ask_;
};

}  // namespace

std::unique_ptr<CameraSource> inputCameraSource(std::string input, CameraPermission permission,
                                                std::function<bool()> ask) {
  return std::make_unique<PlayedSource>(std::move(input), permission, std::move(ask));
}

}  // namespace talvex::media
