#include "platform/media/testing/media_fixtures.h"

#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

extern "C" {
#include <libavutil/display.h>
}

#include "platform/media/av_handles.h"
#include "platform/media/read/stream_time.h"
#include "platform/media/read/video_frame_reader.h"

namespace talvex::media::fixtures {

TempDir::TempDir(const std::string& prefix) {
  std::random_device rd;
  dir_ = std::filesystem::temp_directory_path() /
         (prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
  std::filesystem::create_directories(dir_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::unique_ptr<MovieAsset> openAsset(const std::string& path) {
  auto opened = MovieAsset::open(path);
  if (!opened) throw std::runtime_error("cannot open " + path + ": " + opened.message());
  return std::move(opened).value();
}

bool ffmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::execvp("ffmpeg", argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool makeMovie(const std::string& path, int frames, int fps, int width, int height,
               const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"-f",
                                   "lavfi",
                                   "-i",
                                   "testsrc2=s=" + std::to_string(width) + "x" +
                                       std::to_string(height) + ":r=" + std::to_string(fps),
                                   "-frames:v",
                                   std::to_string(frames),
                                   "-c:v",
                                   "libx264",
                                   "-preset",
                                   "ultrafast",
                                   "-bf",
                                   "2",
                                   "-pix_fmt",
                                   "yuv420p"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(path);
  return ffmpeg(args);
}

bool makeWav(const std::string& path, double seconds, int rate) {
  return ffmpeg({"-f", "lavfi", "-i",
                 "sine=f=440:r=" + std::to_string(rate) + ":d=" + std::to_string(seconds), "-ac",
                 "2", "-c:a", "pcm_s16le", path});
}

namespace {

InputContextPtr openInput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  InputContextPtr fmt(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) return nullptr;
  return fmt;
}

}  // namespace

std::optional<AudioReadback> readAudio(const std::string& path) {
  InputContextPtr fmt = openInput(path);
  if (!fmt) return std::nullopt;
  int idx = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (idx < 0) return std::nullopt;
  AVStream* st = fmt->streams[idx];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return std::nullopt;
  CodecContextPtr dec(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(dec.get(), st->codecpar);
  if (avcodec_open2(dec.get(), codec, nullptr) < 0 || dec->sample_fmt != AV_SAMPLE_FMT_S16)
    return std::nullopt;
  AudioReadback out;
  out.sampleRate = dec->sample_rate;
  out.channels = dec->ch_layout.nb_channels;
  out.start = st->start_time != AV_NOPTS_VALUE ? streamTime(st->start_time, st->time_base)
                                               : MediaTime::zero();
  PacketPtr pkt(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
      const auto* s = reinterpret_cast<const int16_t*>(frame->data[0]);
      out.samples.insert(out.samples.end(), s, s + frame->nb_samples * out.channels);
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == idx) avcodec_send_packet(dec.get(), pkt.get());
    av_packet_unref(pkt.get());
    drain();
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  return out;
}

VideoReadback readVideo(const std::string& path) {
  VideoReadback v;
  auto asset = openAsset(path);
  const auto tracks = asset->tracks(MediaType::Video);
  if (tracks.empty()) return v;
  auto reader = VideoFrameReader::create(*asset, tracks.front());
  if (!reader) return v.failure = reader.message(), v;
  if (auto started = (*reader)->start(); !started) return v.failure = started.message(), v;
  while (auto t = (*reader)->nextFrame()) {
    auto image = (*reader)->image();
    if (!image) return v.failure = image.message(), v;
    v.times.push_back(*t);
    v.images.push_back(std::move(image.value()));
  }
  v.failure = (*reader)->failure();
  return v;
}

std::vector<PacketReadback> readVideoPackets(const std::string& path) {
  std::vector<PacketReadback> out;
  InputContextPtr fmt = openInput(path);
  if (!fmt) return out;
  int idx = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (idx < 0) return out;
  PacketPtr pkt(av_packet_alloc());
  while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == idx)
      out.push_back(
          {streamTime(pkt->pts, fmt->streams[idx]->time_base),
           std::string(reinterpret_cast<const char*>(pkt->data), static_cast<size_t>(pkt->size))});
    av_packet_unref(pkt.get());
  }
  return out;
}

double videoRotation(const std::string& path) {
  InputContextPtr fmt = openInput(path);
  if (!fmt) return 0;
  int idx = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (idx < 0) return 0;
  const uint8_t* m = av_stream_get_side_data(fmt->streams[idx], AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  return m ? av_display_rotation_get(reinterpret_cast<const int32_t*>(m)) : 0;
}

std::string videoCodecTag(const std::string& path) {
  InputContextPtr fmt = openInput(path);
  if (!fmt) return "";
  int idx = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (idx < 0) return "";
  char buf[AV_FOURCC_MAX_STRING_SIZE] = {};
  return av_fourcc_make_string(buf, fmt->streams[idx]->codecpar->codec_tag);
}

}  // namespace talvex::media::fixtures
