#include "platform/media/write/aac_reencoder.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "platform/media/write/encoded_packets.h"

namespace talvex::media {
namespace {

struct FifoDeleter {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

Status avFailure(const char* what, int rc) {
  return Status::failure(std::string(what) + ": " + avErrorText(rc));
}

}  // namespace

struct AacReencoder::Impl {
  AVFormatContext* out = nullptr;
  AVStream* stream = nullptr;
  AVRational inTb{1, 1};
  CodecContextPtr dec, enc;
  SwrContextPtr swr;
  std::unique_ptr<AVAudioFifo, FifoDeleter> fifo;
  FramePtr decoded{av_frame_alloc()};
  int64_t nextPts = AV_NOPTS_VALUE;  // in samples, the output's time base
  bool flushed = false;

  ~Impl() = default;

  Status writePackets() {
    return takeEncodedPackets(enc.get(), stream, "encoding the sound failed",
                              [this](AVPacket* pkt) {
                                if (int rc = av_interleaved_write_frame(out, pkt); rc < 0)
                                  return avFailure("writing the sound failed", rc);
                                return Status::ok();
                              });
  }

  // Encodes whole encoder frames from the queue; at the end also the short remainder.
  Status encodeQueued(bool end) {
    const int size = enc->frame_size > 0 ? enc->frame_size : 1024;
    while (av_audio_fifo_size(fifo.get()) >= size || (end && av_audio_fifo_size(fifo.get()) > 0)) {
      const int n = std::min(size, av_audio_fifo_size(fifo.get()));
      FramePtr f(av_frame_alloc());
      if (!f) return Status::failure("out of memory");
      f->nb_samples = n;
      f->format = enc->sample_fmt;
      f->sample_rate = enc->sample_rate;
      if (int rc = av_channel_layout_copy(&f->ch_layout, &enc->ch_layout); rc < 0)
        return avFailure("sound layout", rc);
      if (int rc = av_frame_get_buffer(f.get(), 0); rc < 0) return avFailure("sound frame", rc);
      if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(f->data), n) != n)
        return Status::failure("sound queue");
      f->pts = nextPts;
      nextPts += n;
      if (int rc = avcodec_send_frame(enc.get(), f.get()); rc < 0)
        return avFailure("encoding the sound failed", rc);
      if (Status s = writePackets(); !s) return s;
    }
    return Status::ok();
  }

  Status takeDecoded() {
    while (true) {
      int rc = avcodec_receive_frame(dec.get(), decoded.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return Status::ok();
      if (rc < 0) return avFailure("decoding the sound failed", rc);
      if (nextPts == AV_NOPTS_VALUE) {
        const int64_t ts =
            decoded->pts != AV_NOPTS_VALUE ? decoded->pts : decoded->best_effort_timestamp;
        nextPts = ts == AV_NOPTS_VALUE ? 0 : av_rescale_q(ts, inTb, enc->time_base);
      }
      const int max = swr_get_out_samples(swr.get(), decoded->nb_samples);
      uint8_t** planes = nullptr;
      if (av_samples_alloc_array_and_samples(&planes, nullptr, enc->ch_layout.nb_channels, max,
                                             enc->sample_fmt, 0) < 0)
        return Status::failure("out of memory");
      const int got =
          swr_convert(swr.get(), planes, max, const_cast<const uint8_t**>(decoded->extended_data),
                      decoded->nb_samples);
      av_frame_unref(decoded.get());
      if (got > 0) av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(planes), got);
      av_freep(&planes[0]);
      av_freep(&planes);
      if (got < 0) return avFailure("converting the sound failed", got);
      if (Status s = encodeQueued(false); !s) return s;
    }
  }
};

AacReencoder::AacReencoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AacReencoder::~AacReencoder() = default;

Result<std::unique_ptr<AacReencoder>> AacReencoder::create(const AVStream& source,
                                                           AVFormatContext* out) {
  using R = Result<std::unique_ptr<AacReencoder>>;
  auto m = std::make_unique<Impl>();
  m->out = out;
  m->inTb = source.time_base;
  if (!m->decoded) return R::failure("out of memory");
  const AVCodec* dcodec = avcodec_find_decoder(source.codecpar->codec_id);
  if (!dcodec)
    return R::failure(std::string("no decoder for ") + avcodec_get_name(source.codecpar->codec_id));
  m->dec.reset(avcodec_alloc_context3(dcodec));
  if (!m->dec) return R::failure("out of memory");
  if (int rc = avcodec_parameters_to_context(m->dec.get(), source.codecpar); rc < 0)
    return avFailure("sound track", rc);
  m->dec->pkt_timebase = source.time_base;
  if (int rc = avcodec_open2(m->dec.get(), dcodec, nullptr); rc < 0)
    return avFailure("sound decoder", rc);
  if (m->dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    av_channel_layout_default(&m->dec->ch_layout, m->dec->ch_layout.nb_channels);

  const AVCodec* ecodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!ecodec) return R::failure("no AAC encoder");
  m->enc.reset(avcodec_alloc_context3(ecodec));
  if (!m->enc) return R::failure("out of memory");
  m->enc->sample_rate = m->dec->sample_rate;
  m->enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
  if (int rc = av_channel_layout_copy(&m->enc->ch_layout, &m->dec->ch_layout); rc < 0)
    return avFailure("sound layout", rc);
  m->enc->bit_rate = int64_t{96000} * m->enc->ch_layout.nb_channels;
  m->enc->time_base = AVRational{1, m->enc->sample_rate};
  if (out->oformat->flags & AVFMT_GLOBALHEADER) m->enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (int rc = avcodec_open2(m->enc.get(), ecodec, nullptr); rc < 0)
    return avFailure("sound encoder", rc);

  SwrContext* swr = nullptr;
  if (int rc = swr_alloc_set_opts2(&swr, &m->enc->ch_layout, m->enc->sample_fmt,
                                   m->enc->sample_rate, &m->dec->ch_layout, m->dec->sample_fmt,
                                   m->dec->sample_rate, 0, nullptr);
      rc < 0)
    return avFailure("sound conversion", rc);
  m->swr.reset(swr);
  if (int rc = swr_init(swr); rc < 0) return avFailure("sound conversion", rc);
  m->fifo.reset(av_audio_fifo_alloc(m->enc->sample_fmt, m->enc->ch_layout.nb_channels, 4096));
  if (!m->fifo) return R::failure("out of memory");

  m->stream = avformat_new_stream(out, nullptr);
  if (!m->stream) return R::failure("out of memory");
  if (int rc = avcodec_parameters_from_context(m->stream->codecpar, m->enc.get()); rc < 0)
    return avFailure("sound track", rc);
  m->stream->time_base = m->enc->time_base;
  return std::unique_ptr<AacReencoder>(new AacReencoder(std::move(m)));
}

Status AacReencoder::feed(const AVPacket* pkt) {
  Impl& m = *impl_;
  if (m.flushed) return Status::ok();
  if (int rc = avcodec_send_packet(m.dec.get(), pkt); rc < 0 && rc != AVERROR_EOF)
    return avFailure("decoding the sound failed", rc);
  if (Status s = m.takeDecoded(); !s) return s;
  if (pkt) return Status::ok();
  m.flushed = true;
  if (Status s = m.encodeQueued(true); !s) return s;
  if (int rc = avcodec_send_frame(m.enc.get(), nullptr); rc < 0)
    return avFailure("encoding the sound failed", rc);
  return m.writePackets();
}

}  // namespace talvex::media
