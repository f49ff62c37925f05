#include "platform/media/export/export_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/media/av_handles.h"
#include "platform/media/library_log.h"
#include "platform/media/read/movie_asset.h"
#include "platform/media/read/source_file.h"
#include "platform/media/read/stream_time.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/process/atomic_file.h"
#include "platform/process/dispatch.h"

namespace talvex::media {
namespace {

// Audio is written in packets of this many sample frames; small enough that video and audio
// stay finely interleaved in the file, large enough to keep the sample table short.
constexpr int kAudioChunk = 4096;

Status avFailure(const char* what, int rc) {
  return Status::failure(std::string(what) + ": " + avErrorText(rc));
}

Status openInput(const std::shared_ptr<const SourceFile>& file, int stream,
                 std::unique_ptr<OpenedInput>& in) {
  auto opened = OpenedInput::open(file);
  if (!opened) return Status::failure(file->path() + ": " + opened.message());
  in = std::move(opened).value();
  AVFormatContext* raw = in->get();
  if (stream < 0 || stream >= static_cast<int>(raw->nb_streams))
    return Status::failure(file->path() + ": the source track is gone");
  for (unsigned i = 0; i < raw->nb_streams; ++i)
    if (static_cast<int>(i) != stream) raw->streams[i]->discard = AVDISCARD_ALL;
  return Status::ok();
}

// The source file of a track's one segment, opened with only the segment's track read.
class SegmentSource {
 protected:
  // Opens the source; gives the segment's track in it.
  Result<const AVStream*> openSource(const CompositionSegment& seg) {
    stream_ = seg.sourceTrack.streamIndex;
    if (Status s = openInput(seg.source, stream_, in_); !s) return s;
    const AVStream* src = in_->get()->streams[stream_];
    inTb_ = src->time_base;
    return src;
  }

  std::unique_ptr<OpenedInput> in_;
  int stream_ = -1;
  AVRational inTb_{1, 1};
};

// The source video's packets, unchanged apart from their place on the new timeline.
class VideoPassthrough : SegmentSource {
 public:
  Status open(const CompositionTrack& track, AVFormatContext* out) {
    auto opened = openSource(track.segments.front());
    if (!opened) return opened.status();
    const AVStream* src = opened.value();
    const CompositionSegment& seg = track.segments.front();
    shift_ = toStreamTicks(subtract(seg.at, seg.sourceStart), inTb_);
    out_ = avformat_new_stream(out, nullptr);
    if (!out_) return Status::failure("out of memory");
    if (int rc = avcodec_parameters_copy(out_->codecpar, src->codecpar); rc < 0)
      return avFailure("video track", rc);
    // Keep the source's sample description tag when QuickTime knows it for this codec.
    if (av_codec_get_id(out->oformat->codec_tag, src->codecpar->codec_tag) !=
        src->codecpar->codec_id)
      out_->codecpar->codec_tag = 0;
    out_->time_base = inTb_;
    out_->avg_frame_rate = src->avg_frame_rate;
    const AVRational rate = av_guess_frame_rate(in_->get(), in_->get()->streams[stream_], nullptr);
    if (rate.num > 0 && rate.den > 0)
      frameTicks_ = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), inTb_));
    reordered_ = src->codecpar->video_delay > 0;
    if (track.preferredTransform != kIdentityMatrix) {
      uint8_t* m = av_stream_new_side_data(out_, AV_PKT_DATA_DISPLAYMATRIX, sizeof(DisplayMatrix));
      if (!m) return Status::failure("out of memory");
      std::memcpy(m, track.preferredTransform.data(), sizeof(DisplayMatrix));
    }
    return Status::ok();
  }

  // The next packet in the output's time base, or false at the end of the track.
  Result<bool> next(AVPacket* pkt) {
    while (true) {
      int rc = av_read_frame(in_->get(), pkt);
      if (rc == AVERROR_EOF) return false;
      if (rc < 0) return Result<bool>(avFailure("reading video failed", rc));
      if (pkt->stream_index != stream_) {
        av_packet_unref(pkt);
        continue;
      }
      // A raw stream carries no times: each frame follows the one before by its own duration
      // or the frame rate. Frames stored out of presentation order could not be placed so.
      if (pkt->pts == AV_NOPTS_VALUE && pkt->dts == AV_NOPTS_VALUE) {
        if (reordered_ || frameTicks_ == 0) {
          av_packet_unref(pkt);
          return Result<bool>(Status::failure("the video has no timestamps"));
        }
        pkt->pts = pkt->dts = next_;
      }
      const int64_t at = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      next_ = std::max(next_, at + (pkt->duration > 0 ? pkt->duration : frameTicks_));
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += shift_;
      if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += shift_;
      av_packet_rescale_ts(pkt, inTb_, out_->time_base);
      pkt->stream_index = out_->index;
      pkt->pos = -1;
      return true;
    }
  }

  const AVStream* stream() const { return out_; }

 private:
  int64_t shift_ = 0;
  AVStream* out_ = nullptr;
  int64_t frameTicks_ = 0;  // one frame at the stream's rate, 0 when it has none
  int64_t next_ = 0;        // where a frame without a time goes
  bool reordered_ = false;  // frames are stored out of presentation order
};

// The source audio decoded, cut to its range at the sample and stored as 16-bit PCM.
class AudioAsPcm : SegmentSource {
 public:
  Status open(const CompositionTrack& track, AVFormatContext* out) {
    const CompositionSegment& seg = track.segments.front();
    auto opened = openSource(seg);
    if (!opened) return opened.status();
    const AVStream* src = opened.value();
    const AVCodec* codec = avcodec_find_decoder(src->codecpar->codec_id);
    if (!codec)
      return Status::failure(std::string("no decoder for ") +
                             avcodec_get_name(src->codecpar->codec_id));
    dec_.reset(avcodec_alloc_context3(codec));
    if (!dec_) return Status::failure("out of memory");
    if (int rc = avcodec_parameters_to_context(dec_.get(), src->codecpar); rc < 0)
      return avFailure("audio track", rc);
    dec_->pkt_timebase = inTb_;
    if (int rc = avcodec_open2(dec_.get(), codec, nullptr); rc < 0)
      return avFailure("audio decoder", rc);
    rate_ = dec_->sample_rate;
    if (rate_ <= 0) return Status::failure("the audio track has no sample rate");
    if (dec_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&layout_, dec_->ch_layout.nb_channels);
    else if (int rc = av_channel_layout_copy(&layout_, &dec_->ch_layout); rc < 0)
      return avFailure("audio layout", rc);
    channels_ = layout_.nb_channels;
    if (channels_ <= 0) return Status::failure("the audio track has no channels");

    const AVRational samples{1, rate_};
    trim_ = toStreamTicks(seg.sourceStart, samples);
    end_ = trim_ + toStreamTicks(seg.duration, samples);
    at_ = toStreamTicks(seg.at, samples);

    SwrContext* swr = nullptr;
    if (int rc = swr_alloc_set_opts2(&swr, &layout_, AV_SAMPLE_FMT_S16, rate_, &layout_,
                                     dec_->sample_fmt, rate_, 0, nullptr);
        rc < 0)
      return avFailure("audio conversion", rc);
    swr_.reset(swr);
    if (int rc = swr_init(swr); rc < 0) return avFailure("audio conversion", rc);

    out_ = avformat_new_stream(out, nullptr);
    if (!out_) return Status::failure("out of memory");
    AVCodecParameters* par = out_->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_PCM_S16LE;
    par->format = AV_SAMPLE_FMT_S16;
    par->sample_rate = rate_;
    par->bits_per_coded_sample = 16;
    par->block_align = 2 * channels_;
    par->bit_rate = int64_t{16} * rate_ * channels_;
    if (int rc = av_channel_layout_copy(&par->ch_layout, &layout_); rc < 0)
      return avFailure("audio layout", rc);
    out_->time_base = samples;
    return Status::ok();
  }

  ~AudioAsPcm() { av_channel_layout_uninit(&layout_); }

  // The next packet in the output's time base, or false once the range is written.
  Result<bool> next(AVPacket* pkt) {
    const size_t frameBytes = 2 * static_cast<size_t>(channels_);
    while (pending_.size() < kAudioChunk * frameBytes && !finished_)
      if (Status s = decodeMore(); !s) return Result<bool>(s);
    const size_t n = std::min(pending_.size() / frameBytes, size_t{kAudioChunk});
    if (n == 0) return false;
    if (int rc = av_new_packet(pkt, static_cast<int>(n * frameBytes)); rc < 0)
      return Result<bool>(avFailure("audio packet", rc));
    std::memcpy(pkt->data, pending_.data(), n * frameBytes);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(n * frameBytes));
    pkt->pts = pkt->dts = at_ + written_;
    pkt->duration = static_cast<int64_t>(n);
    pkt->flags |= AV_PKT_FLAG_KEY;
    pkt->stream_index = out_->index;
    av_packet_rescale_ts(pkt, AVRational{1, rate_}, out_->time_base);
    written_ += static_cast<int64_t>(n);
    return true;
  }

  const AVStream* stream() const { return out_; }

 private:
  Status decodeMore() {
    int rc = avcodec_receive_frame(dec_.get(), frame_.get());
    if (rc == 0) {
      Status s = take(*frame_);
      av_frame_unref(frame_.get());
      return s;
    }
    if (rc == AVERROR_EOF || (rc == AVERROR(EAGAIN) && inputDone_)) {
      finished_ = true;
      return Status::ok();
    }
    if (rc != AVERROR(EAGAIN)) return avFailure("decoding audio failed", rc);
    rc = av_read_frame(in_->get(), pkt_.get());
    if (rc < 0) {
      if (rc != AVERROR_EOF) return avFailure("reading audio failed", rc);
      inputDone_ = true;
      avcodec_send_packet(dec_.get(), nullptr);
      return Status::ok();
    }
    if (pkt_->stream_index == stream_) {
      keepWholeSampleFrames(*pkt_);
      if (pkt_->size > 0) rc = avcodec_send_packet(dec_.get(), pkt_.get());
    }
    av_packet_unref(pkt_.get());
    if (rc < 0 && rc != AVERROR(EAGAIN)) return avFailure("decoding audio failed", rc);
    return Status::ok();
  }

  // A PCM file cut short (a recording whose writer was killed) can end inside a sample frame;
  // the whole frames before the cut are good sound, the stray bytes are not.
  void keepWholeSampleFrames(AVPacket& p) const {
    const AVCodecID id = dec_->codec_id;
    if (id < AV_CODEC_ID_FIRST_AUDIO || id >= AV_CODEC_ID_ADPCM_IMA_QT) return;  // not PCM
    const int frameBytes = dec_->ch_layout.nb_channels * (av_get_bits_per_sample(id) / 8);
    if (frameBytes > 0) p.size -= p.size % frameBytes;
  }

  // Keeps the part of `f` that lies in the range. Samples are counted from the first frame's
  // time on, so the cut does not depend on how a container rounds its later timestamps.
  Status take(const AVFrame& f) {
    if (pos_ == AV_NOPTS_VALUE)
      pos_ = f.pts != AV_NOPTS_VALUE ? av_rescale_q(f.pts, inTb_, AVRational{1, rate_}) : 0;
    const int n = f.nb_samples;
    const int64_t from = std::max(pos_, trim_), to = std::min(pos_ + n, end_);
    if (to > from) {
      converted_.resize(static_cast<size_t>(n) * 2 * channels_);
      uint8_t* dst = converted_.data();
      int got = swr_convert(swr_.get(), &dst, n, const_cast<const uint8_t**>(f.extended_data), n);
      if (got < 0) return avFailure("audio conversion", got);
      const size_t frameBytes = 2 * static_cast<size_t>(channels_);
      const size_t skip = static_cast<size_t>(from - pos_);
      const size_t keep = std::min(static_cast<size_t>(to - from),
                                   static_cast<size_t>(got) > skip ? got - skip : 0);
      pending_.insert(pending_.end(), converted_.begin() + skip * frameBytes,
                      converted_.begin() + (skip + keep) * frameBytes);
    }
    pos_ += n;
    if (pos_ >= end_) finished_ = true;
    return Status::ok();
  }

  CodecContextPtr dec_;
  SwrContextPtr swr_;
  AVChannelLayout layout_{};
  PacketPtr pkt_{av_packet_alloc()};
  FramePtr frame_{av_frame_alloc()};
  int rate_ = 0, channels_ = 0;
  int64_t trim_ = 0, end_ = 0, at_ = 0;  // in samples
  int64_t pos_ = AV_NOPTS_VALUE;         // source sample number of the next decoded sample
  int64_t written_ = 0;
  AVStream* out_ = nullptr;
  bool inputDone_ = false, finished_ = false;
  std::vector<uint8_t> pending_, converted_;
};

Status writeMovie(const Composition& composition, const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (int rc = avformat_alloc_output_context2(&raw, nullptr, "mov", path.c_str()); rc < 0)
    return avFailure("movie", rc);
  OutputContextPtr out(raw);

  std::unique_ptr<VideoPassthrough> video;
  std::unique_ptr<AudioAsPcm> audio;
  for (const auto& track : composition.tracks()) {
    if (track.segments.empty()) continue;  // an empty track adds nothing to the file
    if (track.type == MediaType::Video) {
      video = std::make_unique<VideoPassthrough>();
      if (Status s = video->open(track, raw); !s) return s;
    } else {
      audio = std::make_unique<AudioAsPcm>();
      if (Status s = audio->open(track, raw); !s) return s;
    }
  }
  if (int rc = avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE); rc < 0)
    return avFailure("movie", rc);
  if (int rc = avformat_init_output(raw, nullptr); rc < 0) return avFailure("movie", rc);
  // Edit lists (a delayed audio start, a video track that starts late) are stored in the movie
  // timescale, which is 1/1000 s unless told otherwise: too coarse to place audio on its sample.
  // The tracks' own timescales are only known once the muxer has set them up.
  int64_t movieScale = 600;
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const int64_t l = std::lcm(movieScale, int64_t{raw->streams[i]->time_base.den});
    if (l <= std::numeric_limits<int32_t>::max()) movieScale = l;
  }
  av_opt_set_int(raw->priv_data, "movie_timescale", movieScale, 0);
  if (int rc = avformat_write_header(raw, nullptr); rc < 0) return avFailure("movie", rc);

  // Both tracks are read in step and written in decoding-time order, so memory holds one
  // packet of each and the muxer never has to queue.
  PacketPtr vp(av_packet_alloc()), ap(av_packet_alloc());
  if (!vp || !ap) return Status::failure("out of memory");
  auto fill = [](auto& source, AVPacket* p, bool& have) -> Status {
    if (!source) return Status::ok();
    auto r = source->next(p);
    if (!r) return r.status();
    have = r.value();
    return Status::ok();
  };
  bool haveV = false, haveA = false;
  if (Status s = fill(video, vp.get(), haveV); !s) return s;
  if (video && !haveV) return Status::failure("the video track holds no frames");
  if (Status s = fill(audio, ap.get(), haveA); !s) return s;
  while (haveV || haveA) {
    const bool takeVideo = haveV && (!haveA || vp->dts == AV_NOPTS_VALUE ||
                                     av_compare_ts(vp->dts, video->stream()->time_base, ap->dts,
                                                   audio->stream()->time_base) <= 0);
    AVPacket* p = takeVideo ? vp.get() : ap.get();
    int rc = av_write_frame(raw, p);
    av_packet_unref(p);
    if (rc < 0) return avFailure("writing the movie failed", rc);
    Status s = takeVideo ? fill(video, vp.get(), haveV) : fill(audio, ap.get(), haveA);
    if (!s) return s;
  }
  if (int rc = av_write_trailer(raw); rc < 0) return avFailure("finishing the movie failed", rc);
  if (int rc = avio_closep(&raw->pb); rc < 0) return avFailure("finishing the movie failed", rc);
  return Status::ok();
}

// A movie whose video a reader cannot decode would be no movie at all: a track copied into a
// file that cannot describe it (raw pictures) is stored, but its frames do not come back.
Status checkVideoPlays(const Composition& composition, const std::string& path) {
  bool video = false;
  for (const auto& t : composition.tracks())
    video |= t.type == MediaType::Video && !t.segments.empty();
  if (!video) return Status::ok();
  auto asset = MovieAsset::open(path);
  const auto tracks = asset ? asset.value()->tracks(MediaType::Video) : std::vector<AssetTrack>{};
  if (tracks.empty()) return Status::failure("the video track could not be stored");
  auto reader = VideoFrameReader::create(*asset.value(), tracks.front());
  if (!reader || !(*reader)->start(1) || !(*reader)->nextFrame())
    return Status::failure("the video could not be stored so that it plays");
  return Status::ok();
}

}  // namespace

std::unique_ptr<ExportSession> ExportSession::create(const Composition& composition) {
  bool any = false;
  for (const auto& t : composition.tracks()) any |= !t.segments.empty();
  if (!any) return nullptr;
  return std::unique_ptr<ExportSession>(new ExportSession(composition));
}

void ExportSession::exportAsynchronously(std::function<void()> completion) {
  worker_.async([this, completion = std::move(completion)] {
    run();
    completion();
  });
}

void ExportSession::run() {
  silenceLibraryLog();
  auto finish = [this](talvex::Status result) {
    std::lock_guard lock(mutex_);
    result_ = std::move(result);
  };
  if (outputPath_.empty()) return finish(talvex::Status::failure("no output path"));
  auto temp = createTemporaryBeside(outputPath_);
  if (!temp) return finish(temp.status());
  talvex::Status written = writeMovie(composition_, temp.value());
  if (written) written = checkVideoPlays(composition_, temp.value());
  if (written && std::rename(temp.value().c_str(), outputPath_.c_str()) != 0)
    written = talvex::Status::failure(std::strerror(errno));
  if (!written) std::remove(temp.value().c_str());
  finish(std::move(written));
}

talvex::Status ExportSession::result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

}  // namespace talvex::media
