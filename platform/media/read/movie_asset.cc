#include "platform/media/read/movie_asset.h"

#include <cstring>

#include "platform/media/av_handles.h"
#include "platform/media/library_log.h"
#include "platform/media/read/source_file.h"
#include "platform/media/read/stream_time.h"

namespace talvex::media {

std::unique_ptr<MovieAsset> MovieAsset::open(const std::string& path) {
  silenceLibraryLog();
  auto asset = std::unique_ptr<MovieAsset>(new MovieAsset());
  asset->path_ = path;
  auto file = SourceFile::open(path);
  if (!file) {
    asset->openError_ = file.message();
    return asset;
  }
  auto opened = OpenedInput::open(file.value());
  if (!opened) {
    asset->openError_ = opened.message();
    return asset;
  }
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
