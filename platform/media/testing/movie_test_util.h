// Reads a movie back with libavformat, for the tests of the movie writer.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <string>
#include <vector>

namespace talvex::media::testing {

struct MovieFacts {
  bool opened = false;
  std::string codec;
  int width = 0, height = 0;
  int colorRange = 0;
  int streams = 0;
  std::vector<double> packetTimes;  // presentation times in seconds, in file order
  double duration = 0;              // of the whole movie, in seconds
};

inline MovieFacts readMovie(const std::string& path) {
  MovieFacts f;
  AVFormatContext* ctx = nullptr;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return f;
  if (avformat_find_stream_info(ctx, nullptr) >= 0 && ctx->nb_streams > 0) {
    f.opened = true;
    f.streams = static_cast<int>(ctx->nb_streams);
    AVStream* st = ctx->streams[0];
    f.codec = avcodec_get_name(st->codecpar->codec_id);
    f.width = st->codecpar->width;
    f.height = st->codecpar->height;
    f.colorRange = st->codecpar->color_range;
    if (ctx->duration != AV_NOPTS_VALUE) f.duration = ctx->duration / double(AV_TIME_BASE);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
      if (pkt->stream_index == 0) {
        f.packetTimes.push_back(pkt->pts * av_q2d(st->time_base));
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  avformat_close_input(&ctx);
  return f;
}

}  // namespace talvex::media::testing
