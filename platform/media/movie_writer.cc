#include "platform/media/movie_writer.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <atomic>
#include <filesystem>

#include "platform/media/av_handles.h"
#include "platform/media/library_log.h"
#include "platform/process/dispatch.h"

namespace talvex::media {
namespace {

// The movie's own clock: 90 kHz, the usual video timescale, fine enough for camera jitter.
constexpr AVRational kTicks{1, 90000};
// At 30 frames per second: a key frame, and with it a new fragment, every two seconds.
constexpr int kKeyInterval = 60;
constexpr const char* kMaxFragmentMicros = "2000000";

// Frees the PixelBuffer an AVFrame borrows its planes from.
void releasePixels(void* opaque, uint8_t*) { delete static_cast<PixelBuffer*>(opaque); }

}  // namespace

// Lifecycle of the FFmpeg objects: made on the caller's thread up to startWriting(), then
// touched only on the encoder queue until the finish or cancel has run there.
struct MovieWriter::Impl {
  std::string path;
  OutputContextPtr out;
  CodecContextPtr encoder;
  AVStream* stream = nullptr;
  int handOffFrames = 15;

  // Caller's thread.
  bool writing = false;
  bool finished = false;
  MediaTime sessionStart = MediaTime::invalid();
  int64_t lastTicks = -1;

  // Encoder thread.
  PacketPtr held;  // the newest packet, written once the next one tells its duration
  int64_t lastFrameTicks = -1, lastInterval = 90000 / 30;
  bool failed = false;

  std::atomic<int> pending{0};
  std::atomic<bool> cancelled{false};
  // Declared last: destroyed first, so queued work finishes before the objects above go.
  std::unique_ptr<SerialQueue> queue;

  void writePacket(PacketPtr pkt) {
    if (failed) return;
    av_packet_rescale_ts(pkt.get(), encoder->time_base, stream->time_base);
    pkt->stream_index = stream->index;
    if (av_write_frame(out.get(), pkt.get()) < 0) failed = true;
  }

  // Holds each packet back until the next one arrives, so that every packet carries its true
  // duration: a fragment's last sample takes its length from it.
  void takePacket(PacketPtr pkt) {
    if (held) {
      held->duration = std::max<int64_t>(1, pkt->dts - held->dts);
      writePacket(std::move(held));
    }
    held = std::move(pkt);
  }

  void receivePackets() {
    while (true) {
      PacketPtr pkt(av_packet_alloc());
      if (!pkt || avcodec_receive_packet(encoder.get(), pkt.get()) < 0) return;
      takePacket(std::move(pkt));
    }
  }

  void encode(const PixelBuffer& image, int64_t ticks) {
    if (cancelled || failed) return;
    FramePtr frame(av_frame_alloc());
    if (!frame) return;
    frame->format = AV_PIX_FMT_NV12;
    frame->width = image.width();
    frame->height = image.height();
    frame->color_range = AVCOL_RANGE_JPEG;
    frame->pts = ticks;
    for (int i = 0; i < 2; ++i) {
      frame->data[i] = image.plane(i).base;
      frame->linesize[i] = image.plane(i).bytesPerRow;
    }
    // The frame shares the camera's pixels instead of copying them.
    auto* keep = new PixelBuffer(image);
    frame->buf[0] = av_buffer_create(
        image.plane(0).base,
        static_cast<size_t>(image.plane(0).bytesPerRow) * static_cast<size_t>(image.height()),
        releasePixels, keep, AV_BUFFER_FLAG_READONLY);
    if (!frame->buf[0]) {
      delete keep;
      return;
    }
    if (lastFrameTicks >= 0) lastInterval = ticks - lastFrameTicks;
    lastFrameTicks = ticks;
    if (avcodec_send_frame(encoder.get(), frame.get()) < 0) {
      failed = true;
      return;
    }
    receivePackets();
  }

  void finish() {
    if (!cancelled && !failed) {
      avcodec_send_frame(encoder.get(), nullptr);
      receivePackets();
      if (held) {
        held->duration = lastInterval;  // the last frame lasts as long as the one before it
        writePacket(std::move(held));
      }
      av_write_trailer(out.get());
    }
    out.reset();  // closes the file
  }
};

MovieWriter::MovieWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MovieWriter::~MovieWriter() {
  if (impl_->writing && !impl_->finished) impl_->cancelled = true;
  impl_->queue.reset();
}

Result<std::unique_ptr<MovieWriter>> MovieWriter::open(const std::string& path) {
  using R = Result<std::unique_ptr<MovieWriter>>;
  silenceLibraryLog();
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  AVFormatContext* raw = nullptr;
  int r = avformat_alloc_output_context2(&raw, nullptr, "mov", path.c_str());
  if (r < 0 || !raw) return R::failure(avErrorText(r < 0 ? r : AVERROR(ENOMEM)));
  impl->out.reset(raw);
  r = avio_open(&impl->out->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) return R::failure(avErrorText(r));
  return std::unique_ptr<MovieWriter>(new MovieWriter(std::move(impl)));
}

bool MovieWriter::addVideoInput(const VideoSettings& s) {
  Impl& m = *impl_;
  if (m.encoder || s.width <= 0 || s.height <= 0 || s.handOffFrames <= 0) return false;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return false;
  CodecContextPtr enc(avcodec_alloc_context3(codec));
  if (!enc) return false;
  enc->width = s.width;
  enc->height = s.height;
  enc->pix_fmt = AV_PIX_FMT_NV12;
  enc->time_base = kTicks;
  enc->framerate = AVRational{30, 1};
  enc->bit_rate = s.averageBitRate;
  enc->gop_size = kKeyInterval;
  // No frame reordering: packets leave in display order, the movie starts at 0 without an
  // edit list, and the encoder adds no latency to the hand-off.
  enc->max_b_frames = 0;
  // Camera frames are full-range BT.601 (JFIF); say so in the stream.
  enc->color_range = AVCOL_RANGE_JPEG;
  enc->colorspace = AVCOL_SPC_SMPTE170M;
  enc->thread_count = 1;
  if (m.out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (av_opt_set(enc->priv_data, "preset", s.preset.c_str(), 0) < 0) return false;
  if (avcodec_open2(enc.get(), codec, nullptr) < 0) return false;
  AVStream* st = avformat_new_stream(m.out.get(), nullptr);
  if (!st || avcodec_parameters_from_context(st->codecpar, enc.get()) < 0) return false;
  st->time_base = kTicks;
  m.stream = st;
  m.encoder = std::move(enc);
  m.handOffFrames = s.handOffFrames;
  return true;
}

Status MovieWriter::startWriting() {
  Impl& m = *impl_;
  if (!m.encoder || m.writing) return Status::failure("");
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "movflags", "empty_moov+frag_keyframe", 0);
  av_dict_set(&opts, "frag_duration", kMaxFragmentMicros, 0);
  // Each completed fragment goes to the file at once instead of waiting in a buffer.
  av_dict_set(&opts, "flush_packets", "1", 0);
  int r = avformat_write_header(m.out.get(), &opts);
  av_dict_free(&opts);
  if (r < 0) return Status::failure(avErrorText(r));
  m.writing = true;
  m.queue = std::make_unique<SerialQueue>("lumipose.encoder");
  return Status::ok();
}

void MovieWriter::startSession(MediaTime t) { impl_->sessionStart = t; }

bool MovieWriter::isReadyForMoreMediaData() const {
  return impl_->writing && !impl_->finished && impl_->pending.load() < impl_->handOffFrames;
}

bool MovieWriter::append(const PixelBuffer& frame, MediaTime pts) {
  Impl& m = *impl_;
  if (!isReadyForMoreMediaData() || !m.sessionStart.isNumeric() || !pts.isNumeric()) return false;
  if (frame.width() != m.encoder->width || frame.height() != m.encoder->height ||
      frame.planeCount() != 2)
    return false;
  const MediaTime rel = subtract(pts, m.sessionStart);
  int64_t ticks = av_rescale(rel.value, kTicks.den, rel.timescale);
  if (ticks <= m.lastTicks) ticks = m.lastTicks + 1;  // the encoder needs rising times
  m.lastTicks = ticks;
  ++m.pending;
  m.queue->async([&m, frame, ticks] {
    m.encode(frame, ticks);
    --m.pending;
  });
  return true;
}

void MovieWriter::markAsFinished() { impl_->finished = true; }

void MovieWriter::finishWriting(std::function<void()> completion) {
  Impl& m = *impl_;
  m.finished = true;
  if (!m.writing) {
    if (completion) completion();
    return;
  }
  m.queue->async([&m, completion = std::move(completion)] {
    m.finish();
    if (completion) completion();
  });
}

void MovieWriter::cancelWriting() {
  Impl& m = *impl_;
  m.finished = true;
  m.cancelled = true;
  if (m.queue)
    m.queue->sync([&m] { m.out.reset(); });
  else
    m.out.reset();
  std::error_code ignored;
  std::filesystem::remove(m.path, ignored);
}

}  // namespace talvex::media
