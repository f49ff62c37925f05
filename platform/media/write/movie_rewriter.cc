#include "platform/media/write/movie_rewriter.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/media/av_handles.h"
#include "platform/media/library_log.h"
#include "platform/media/read/source_file.h"
#include "platform/media/read/stream_time.h"
#include "platform/media/write/aac_reencoder.h"
#include "platform/media/write/encoded_packets.h"
#include "platform/process/atomic_file.h"

namespace talvex::media {
namespace {

Status avFailure(const std::string& what, int rc) {
  return Status::failure(what + ": " + avErrorText(rc));
}

// H.264 in 4:2:0 takes even sizes only. A frame of odd width or height is copied into one a
// column or row larger, the last one repeated; its chroma, rounded up, already covers it.
void padToEven(const PixelBuffer& src, PixelBuffer& dst) {
  const int w = src.width(), h = src.height();
  if (dst.width() != (w + 1) / 2 * 2 || dst.height() != (h + 1) / 2 * 2)
    dst = PixelBuffer::allocateNV12((w + 1) / 2 * 2, (h + 1) / 2 * 2);
  const PlaneView &sy = src.plane(0), &dy = dst.plane(0);
  for (int y = 0; y < dy.height; ++y) {
    const uint8_t* from = sy.base + static_cast<size_t>(std::min(y, h - 1)) * sy.bytesPerRow;
    uint8_t* to = dy.base + static_cast<size_t>(y) * dy.bytesPerRow;
    std::memcpy(to, from, static_cast<size_t>(w));
    if (dy.width > w) to[w] = from[w - 1];
  }
  const PlaneView &sc = src.plane(1), &dc = dst.plane(1);
  for (int y = 0; y < dc.height; ++y)
    std::memcpy(dc.base + static_cast<size_t>(y) * dc.bytesPerRow,
                sc.base + static_cast<size_t>(y) * sc.bytesPerRow,
                static_cast<size_t>(2 * sc.width));
}

}  // namespace

struct MovieRewriter::Impl {
  std::string path, temp;
  OutputContextPtr out;
  CodecContextPtr encoder;
  AVStream* video = nullptr;
  AVRational sourceVideoTb{1, 1};

  // The sound, read from its own demuxer on the source file.
  std::unique_ptr<OpenedInput> audioIn;
  int audioSource = -1;
  AVStream* audio = nullptr;          // a copy of the source's sound, or
  std::unique_ptr<AacReencoder> aac;  // the sound re-encoded when the format cannot hold it
  PacketPtr audioPkt{av_packet_alloc()};
  bool audioPending = false, audioDone = true;

  int64_t lastPts = INT64_MIN;
  bool finished = false;
  PixelBuffer padded;  // the frame at an even size, when the track's is odd

  ~Impl() {
    if (!finished && !temp.empty()) {
      out.reset();
      std::remove(temp.c_str());
    }
  }

  // Copies sound packets up to `until` seconds of the output timeline (all of them when
  // `until` is infinite), so that sound and video stay interleaved in the file.
  Status pumpAudio(double until) {
    while (!audioDone) {
      if (!audioPending) {
        int rc = av_read_frame(audioIn->get(), audioPkt.get());
        if (rc == AVERROR_EOF) {
          audioDone = true;
          if (aac) return aac->feed(nullptr);
          break;
        }
        if (rc < 0) return avFailure("reading the sound failed", rc);
        if (audioPkt->stream_index != audioSource) {
          av_packet_unref(audioPkt.get());
          continue;
        }
        audioPending = true;
      }
      const AVRational inTb = audioIn->get()->streams[audioSource]->time_base;
      const int64_t ts = audioPkt->dts != AV_NOPTS_VALUE ? audioPkt->dts : audioPkt->pts;
      if (ts != AV_NOPTS_VALUE && ts * av_q2d(inTb) > until) break;
      audioPending = false;
      if (aac) {
        Status fed = aac->feed(audioPkt.get());
        av_packet_unref(audioPkt.get());
        if (!fed) return fed;
        continue;
      }
      av_packet_rescale_ts(audioPkt.get(), inTb, audio->time_base);
      audioPkt->stream_index = audio->index;
      audioPkt->pos = -1;
      if (int rc = av_interleaved_write_frame(out.get(), audioPkt.get()); rc < 0)
        return avFailure("writing the sound failed", rc);
    }
    return Status::ok();
  }

  Status drainEncoder() {
    return takeEncodedPackets(encoder.get(), video, "encoding failed", [this](AVPacket* pkt) {
      if (Status s = pumpAudio(pkt->dts * av_q2d(video->time_base) + 0.5); !s) return s;
      if (int rc = av_interleaved_write_frame(out.get(), pkt); rc < 0)
        return avFailure("writing the video failed", rc);
      return Status::ok();
    });
  }

  Status openAudio(const MovieAsset& source, const std::string& name) {
    const auto tracks = source.tracks(MediaType::Audio);
    if (tracks.empty()) return Status::ok();
    auto opened = OpenedInput::open(source.source());
    if (!opened) return Status::failure(opened.message());
    audioIn = std::move(opened).value();
    audioSource = tracks.front().streamIndex;
    AVFormatContext* in = audioIn->get();
    for (unsigned i = 0; i < in->nb_streams; ++i)
      if (static_cast<int>(i) != audioSource) in->streams[i]->discard = AVDISCARD_ALL;
    const AVStream* src = in->streams[audioSource];
    audioDone = false;
    if (avformat_query_codec(out->oformat, src->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
      auto reencoder = AacReencoder::create(*src, out.get());
      if (!reencoder)
        return Status::failure(std::string("the sound (") +
                               avcodec_get_name(src->codecpar->codec_id) + ") cannot go into " +
                               name + ": " + reencoder.message());
      aac = std::move(reencoder).value();
      return Status::ok();
    }
    audio = avformat_new_stream(out.get(), nullptr);
    if (!audio) return Status::failure("out of memory");
    if (int rc = avcodec_parameters_copy(audio->codecpar, src->codecpar); rc < 0)
      return avFailure("sound track", rc);
    audio->codecpar->codec_tag = 0;
    audio->time_base = src->time_base;
    return Status::ok();
  }
};

MovieRewriter::MovieRewriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MovieRewriter::~MovieRewriter() = default;

Result<std::unique_ptr<MovieRewriter>> MovieRewriter::open(const MovieAsset& source,
                                                           const AssetTrack& track,
                                                           const std::string& path,
                                                           const RewriteSettings& settings) {
  using R = Result<std::unique_ptr<MovieRewriter>>;
  silenceLibraryLog();
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  if (!impl->audioPkt) return R::failure("out of memory");
  if (!source.source()) return R::failure("the movie is not open");

  AVFormatContext* raw = nullptr;
  int rc = avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str());
  if (rc < 0 || !raw) return R::failure("no movie format for the name " + path);
  impl->out.reset(raw);
  if (raw->oformat->video_codec == AV_CODEC_ID_NONE ||
      avformat_query_codec(raw->oformat, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) != 1)
    return R::failure(std::string("a ") + raw->oformat->name + " file cannot hold H.264 video");

  // The source's video stream, for its time base and frame rate.
  auto probe = OpenedInput::open(source.source());
  if (!probe) return R::failure(probe.message());
  if (track.streamIndex < 0 || track.streamIndex >= static_cast<int>((*probe)->get()->nb_streams))
    return R::failure("the movie has no such video track");
  const AVStream* src = (*probe)->get()->streams[track.streamIndex];
  impl->sourceVideoTb = src->time_base;

  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return R::failure("no H.264 encoder");
  CodecContextPtr enc(avcodec_alloc_context3(codec));
  if (!enc) return R::failure("out of memory");
  enc->width = (track.width + 1) / 2 * 2;
  enc->height = (track.height + 1) / 2 * 2;
  enc->pix_fmt = AV_PIX_FMT_NV12;
  enc->time_base = src->time_base;
  if (src->avg_frame_rate.num > 0) enc->framerate = src->avg_frame_rate;
  enc->color_range = AVCOL_RANGE_JPEG;
  enc->colorspace = AVCOL_SPC_SMPTE170M;
  enc->thread_count = 0;  // one per core
  if (raw->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(enc->priv_data, "preset", settings.preset.c_str(), 0);
  av_opt_set_int(enc->priv_data, "crf", settings.crf, 0);
  if (rc = avcodec_open2(enc.get(), codec, nullptr); rc < 0)
    return avFailure("cannot encode " + std::to_string(track.width) + "x" +
                         std::to_string(track.height) + " video",
                     rc);
  AVStream* st = avformat_new_stream(raw, nullptr);
  if (!st) return R::failure("out of memory");
  if (rc = avcodec_parameters_from_context(st->codecpar, enc.get()); rc < 0)
    return avFailure("video track", rc);
  st->time_base = src->time_base;
  st->avg_frame_rate = src->avg_frame_rate;
  if (track.preferredTransform != kIdentityMatrix) {
    uint8_t* m = av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, sizeof(DisplayMatrix));
    if (!m) return R::failure("out of memory");
    std::memcpy(m, track.preferredTransform.data(), sizeof(DisplayMatrix));
  }
  impl->video = st;
  impl->encoder = std::move(enc);

  if (Status s = impl->openAudio(source, raw->oformat->name); !s) return s;

  auto temp = createTemporaryBeside(path);
  if (!temp) return temp.status();
  impl->temp = temp.value();
  if (rc = avio_open(&raw->pb, impl->temp.c_str(), AVIO_FLAG_WRITE); rc < 0)
    return avFailure(path, rc);
  if (rc = avformat_write_header(raw, nullptr); rc < 0) return avFailure(path, rc);
  return std::unique_ptr<MovieRewriter>(new MovieRewriter(std::move(impl)));
}

Status MovieRewriter::append(const PixelBuffer& image, MediaTime pts) {
  Impl& m = *impl_;
  if (m.finished) return Status::failure("already finished");
  if (image.planeCount() != 2 || image.width() < 1 || image.height() < 1 ||
      (image.width() + 1) / 2 * 2 != m.encoder->width ||
      (image.height() + 1) / 2 * 2 != m.encoder->height)
    return Status::failure("the frame does not match the video track");
  const bool odd = image.width() != m.encoder->width || image.height() != m.encoder->height;
  if (odd) padToEven(image, m.padded);
  const PixelBuffer& even = odd ? m.padded : image;
  FramePtr frame(av_frame_alloc());
  if (!frame) return Status::failure("out of memory");
  frame->format = AV_PIX_FMT_NV12;
  frame->width = even.width();
  frame->height = even.height();
  frame->color_range = AVCOL_RANGE_JPEG;
  // The encoder refuses times that do not rise; a damaged source can repeat one.
  frame->pts = std::max(toStreamTicks(pts, m.encoder->time_base), m.lastPts + 1);
  m.lastPts = frame->pts;
  for (int i = 0; i < 2; ++i) {
    frame->data[i] = even.plane(i).base;
    frame->linesize[i] = even.plane(i).bytesPerRow;
  }
  // The encoder copies frames it keeps (it is given no reference to hold on to).
  if (int rc = avcodec_send_frame(m.encoder.get(), frame.get()); rc < 0)
    return avFailure("encoding failed", rc);
  return m.drainEncoder();
}

Status MovieRewriter::finish() {
  Impl& m = *impl_;
  if (m.finished) return Status::failure("already finished");
  if (int rc = avcodec_send_frame(m.encoder.get(), nullptr); rc < 0)
    return avFailure("encoding failed", rc);
  if (Status s = m.drainEncoder(); !s) return s;
  if (Status s = m.pumpAudio(HUGE_VAL); !s) return s;
  if (int rc = av_write_trailer(m.out.get()); rc < 0) return avFailure(m.path, rc);
  if (int rc = avio_closep(&m.out->pb); rc < 0) return avFailure(m.path, rc);
  if (std::rename(m.temp.c_str(), m.path.c_str()) != 0)
    return Status::failure(m.path + ": " + std::strerror(errno));
  m.finished = true;
  return Status::ok();
}

}  // namespace talvex::media
