#include "platform/media/read/video_frame_reader.h"

#include <algorithm>

#include "platform/media/av_handles.h"
#include "platform/media/library_log.h"
#include "platform/media/read/decoded_picture.h"
#include "platform/media/read/nv12_converter.h"
#include "platform/media/read/source_file.h"
#include "platform/media/read/stream_time.h"

namespace talvex::media {
namespace {

// Damaged frames one after another before the track counts as one that cannot be decoded.
constexpr int kMaxDamagedInARow = 100;

}  // namespace

struct VideoFrameReader::Impl {
  std::unique_ptr<OpenedInput> fmt;
  int stream = -1;
  CodecContextPtr dec;
  PacketPtr pkt{av_packet_alloc()};
  FramePtr frame{av_frame_alloc()};
  Nv12Converter converter;
  bool haveFrame = false;
  bool inputDone = false;
  bool finished = false;
  std::string failure;
  int64_t damaged = 0;       // frames skipped because they could not be decoded
  int damagedInARow = 0;     // since the last frame that could
  MediaTime lastTime;        // of the last frame that came with a time
  int64_t untimedSince = 0;  // frames since then that came without one

  // A packet the decoder refuses is one damaged frame, skipped; the rest of the track still
  // decodes. Only a decoder that refuses everything, or has no memory, ends the reading.
  bool skipDamaged(int rc) {
    if (rc == AVERROR(ENOMEM) || ++damagedInARow > kMaxDamagedInARow) {
      fail("decoding failed: " + avErrorText(rc));
      return false;
    }
    ++damaged;
    return true;
  }

  // A frame without a time (a raw stream has none) follows the last one that had a time by
  // the stream's frame rate; the first such frame of a track is at 0.
  MediaTime timeOf(const AVFrame& f) {
    AVStream* st = fmt->get()->streams[stream];
    const int64_t pts = f.pts != AV_NOPTS_VALUE ? f.pts : f.best_effort_timestamp;
    MediaTime t = streamTime(pts, st->time_base);
    if (t.isValid()) {
      lastTime = t;
      untimedSince = 0;
      return t;
    }
    const AVRational rate = av_guess_frame_rate(fmt->get(), st, nullptr);
    if (rate.num <= 0 || rate.den <= 0) return MediaTime::invalid();
    const MediaTime from = lastTime.isValid() ? lastTime : MediaTime::zero();
    const int64_t k = lastTime.isValid() ? ++untimedSince : untimedSince++;
    return add(from, MediaTime::make(k * rate.den, rate.num));
  }

  void fail(std::string why) {
    failure = std::move(why);
    finished = true;
  }
};

VideoFrameReader::VideoFrameReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoFrameReader::~VideoFrameReader() = default;

Result<std::unique_ptr<VideoFrameReader>> VideoFrameReader::create(const MovieAsset& asset,
                                                                   const AssetTrack& track) {
  using R = Result<std::unique_ptr<VideoFrameReader>>;
  silenceLibraryLog();
  auto impl = std::make_unique<Impl>();
  if (!impl->pkt || !impl->frame) return R::failure("out of memory");
  if (!asset.source()) return R::failure("the file is not open");
  auto opened = OpenedInput::open(asset.source());
  if (!opened) return R::failure(opened.message());
  impl->fmt = std::move(opened).value();
  AVFormatContext* raw = impl->fmt->get();
  if (track.streamIndex < 0 || track.streamIndex >= static_cast<int>(raw->nb_streams) ||
      raw->streams[track.streamIndex]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
    return R::failure("the file has no such video track");
  impl->stream = track.streamIndex;
  // The demuxer then skips the other tracks' samples instead of handing them over.
  for (unsigned i = 0; i < raw->nb_streams; ++i)
    if (static_cast<int>(i) != impl->stream) raw->streams[i]->discard = AVDISCARD_ALL;
  return std::unique_ptr<VideoFrameReader>(new VideoFrameReader(std::move(impl)));
}

Status VideoFrameReader::start(int threads) {
  Impl& m = *impl_;
  if (m.dec) return Status::ok();
  const AVCodecParameters* par = m.fmt->get()->streams[m.stream]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    return Status::failure(std::string("no decoder for ") + avcodec_get_name(par->codec_id));
  CodecContextPtr dec(avcodec_alloc_context3(codec));
  if (!dec) return Status::failure("out of memory");
  if (int rc = avcodec_parameters_to_context(dec.get(), par); rc < 0)
    return Status::failure(avErrorText(rc));
  dec->pkt_timebase = m.fmt->get()->streams[m.stream]->time_base;
  dec->thread_count = std::max(0, threads);
  dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (int rc = avcodec_open2(dec.get(), codec, nullptr); rc < 0)
    return Status::failure(avErrorText(rc));
  m.dec = std::move(dec);
  return Status::ok();
}

std::optional<MediaTime> VideoFrameReader::nextFrame() {
  Impl& m = *impl_;
  m.haveFrame = false;
  if (!m.dec || m.finished) return std::nullopt;
  av_frame_unref(m.frame.get());
  while (true) {
    int rc = avcodec_receive_frame(m.dec.get(), m.frame.get());
    if (rc == 0) {
      m.haveFrame = true;
      m.damagedInARow = 0;
      return m.timeOf(*m.frame);
    }
    if (rc == AVERROR_EOF) {
      m.finished = true;
      return std::nullopt;
    }
    if (rc != AVERROR(EAGAIN)) {
      if (!m.skipDamaged(rc)) return std::nullopt;
      continue;
    }
    if (m.inputDone) {  // a drained decoder that still asks for input; never loop on it
      m.finished = true;
      return std::nullopt;
    }
    rc = av_read_frame(m.fmt->get(), m.pkt.get());
    if (rc < 0) {
      // The end of the file, or a read error such as a truncated file: either way the decoder
      // hands out what it still holds, then reading ends.
      if (rc != AVERROR_EOF) m.failure = "reading failed: " + avErrorText(rc);
      m.inputDone = true;
      avcodec_send_packet(m.dec.get(), nullptr);
      continue;
    }
    if (m.pkt->stream_index != m.stream) {
      av_packet_unref(m.pkt.get());
      continue;
    }
    rc = avcodec_send_packet(m.dec.get(), m.pkt.get());
    av_packet_unref(m.pkt.get());
    if (rc < 0 && rc != AVERROR(EAGAIN) && !m.skipDamaged(rc)) return std::nullopt;
  }
}

Result<PixelBuffer> VideoFrameReader::image() {
  if (!impl_->haveFrame) return Result<PixelBuffer>::failure("no current frame");
  return impl_->converter.convert(*impl_->frame);
}

Result<PixelBuffer> VideoFrameReader::picture() {
  if (!impl_->haveFrame) return Result<PixelBuffer>::failure("no current frame");
  if (auto shared = sharedI420(*impl_->frame)) return std::move(*shared);
  return impl_->converter.convert(*impl_->frame);
}

const std::string& VideoFrameReader::failure() const { return impl_->failure; }

int64_t VideoFrameReader::damagedFrames() const { return impl_->damaged; }

}  // namespace talvex::media
