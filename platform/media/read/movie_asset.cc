#include "platform/media/read/movie_asset.h"

#include <algorithm>
#include <cstring>

#include "platform/media/av_handles.h"
#include "platform/media/library_log.h"
#include "platform/media/read/source_file.h"
#include "platform/media/read/stream_time.h"

namespace talvex::media {
namespace {

// The span of a stream that states no duration (raw H.264 or MJPEG, a picture), from its
// packets, read once: each lasts its own duration, else one frame at the stream's rate; one
// without a time follows the one before.
MediaTime measuredLength(AVFormatContext* fmt, int stream) {
  AVStream* st = fmt->streams[stream];
  const AVRational rate = av_guess_frame_rate(fmt, st, nullptr);
  const int64_t frameTicks =
      rate.num > 0 && rate.den > 0
          ? std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), st->time_base))
          : 0;
  PacketPtr pkt(av_packet_alloc());
  if (!pkt) return MediaTime::invalid();
  int64_t first = AV_NOPTS_VALUE, next = 0, end = 0;
  while (av_read_frame(fmt, pkt.get()) >= 0) {
    if (pkt->stream_index == stream) {
      const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : next;
      const int64_t lasts = pkt->duration > 0 ? pkt->duration : frameTicks;
      if (first == AV_NOPTS_VALUE || ts < first) first = ts;
      next = std::max(next, ts + lasts);
      end = std::max(end, ts + lasts);
    }
    av_packet_unref(pkt.get());
  }
  if (first == AV_NOPTS_VALUE || end <= first) return MediaTime::invalid();
  return streamTime(end - first, st->time_base);
}

}  // namespace

Result<std::unique_ptr<MovieAsset>> MovieAsset::open(const std::string& path) {
  silenceLibraryLog();
  auto file = SourceFile::open(path);
  if (!file) return file.status();
  auto opened = OpenedInput::open(file.value());
  if (!opened) return opened.status();
  auto asset = std::unique_ptr<MovieAsset>(new MovieAsset());
  asset->path_ = path;
  asset->source_ = file.value();
  AVFormatContext* fmt = (*opened)->get();
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    const AVCodecParameters* par = st->codecpar;
    AssetTrack t;
    t.streamIndex = static_cast<int>(i);
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      // Cover art and thumbnails are stored as video streams but are not tracks of the movie.
      if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
      t.type = MediaType::Video;
      t.width = par->width;
      t.height = par->height;
      size_t size = 0;
      const uint8_t* m = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
      if (m && size >= sizeof(DisplayMatrix)) std::memcpy(t.preferredTransform.data(), m, size);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      t.type = MediaType::Audio;
      t.sampleRate = par->sample_rate;
      t.channelCount = par->ch_layout.nb_channels;
    } else {
      continue;
    }
    t.start = st->start_time != AV_NOPTS_VALUE ? streamTime(st->start_time, st->time_base)
                                               : MediaTime::zero();
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
      t.duration = streamTime(st->duration, st->time_base);
    } else if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) {
      // Fragmented movies often leave the track duration out; the demuxer's estimate for the
      // whole file is the best there is.
      t.duration = MediaTime::make(fmt->duration, AV_TIME_BASE);
    } else if (t.type == MediaType::Video) {
      t.duration = measuredLength(fmt, static_cast<int>(i));
      avformat_seek_file(fmt, -1, INT64_MIN, 0, INT64_MAX, 0);
    }
    if (t.duration.isNumeric()) {
      MediaTime end =
          compare(t.start, MediaTime::zero()) > 0 ? add(t.start, t.duration) : t.duration;
      if (compare(end, asset->duration_) > 0) asset->duration_ = end;
    }
    asset->tracks_.push_back(t);
  }
  return asset;
}

std::vector<AssetTrack> MovieAsset::tracks(MediaType type) const {
  std::vector<AssetTrack> out;
  for (const auto& t : tracks_)
    if (t.type == type) out.push_back(t);
  return out;
}

}  // namespace talvex::media
