// Time per 1280x720 frame of the movie writer's H.264 encode for the candidate x264 presets,
// on one encoder thread, with real camera-like footage. Picks the preset the live recording
// can sustain at 30 frames per second next to analysis on two cores.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_clip.h"
#include "platform/media/av_handles.h"
#include "platform/media/read/nv12_converter.h"
#include "platform/media/write/movie_writer.h"
#include "platform/process/dispatch.h"

using namespace talvex;

namespace {

std::vector<PixelBuffer> decodeFrames(const std::string& path, int count) {
  std::vector<PixelBuffer> frames;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return frames;
  media::InputContextPtr in(raw);
  avformat_find_stream_info(in.get(), nullptr);
  const AVCodec* codec = nullptr;
  int s = av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (s < 0) return frames;
  media::CodecContextPtr dec(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(dec.get(), in->streams[s]->codecpar);
  avcodec_open2(dec.get(), codec, nullptr);
  media::PacketPtr pkt(av_packet_alloc());
  media::FramePtr frame(av_frame_alloc());
  media::Nv12Converter conv;
  while (static_cast<int>(frames.size()) < count && av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == s && avcodec_send_packet(dec.get(), pkt.get()) >= 0) {
      while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
        if (auto b = conv.convert(*frame)) frames.push_back(b.value());
        av_frame_unref(frame.get());
      }
    }
    av_packet_unref(pkt.get());
  }
  return frames;
}

}  // namespace

int main() {
  const std::string clip = bench::personClip720p();
  const std::vector<PixelBuffer> frames = decodeFrames(clip, 300);
  if (frames.empty()) {
    std::fprintf(stderr, "no footage at %s\n", clip.c_str());
    return 1;
  }
  const std::string out = "/tmp/encoder_preset_bench.mov";
  for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
    auto w = media::MovieWriter::open(out);
    media::VideoSettings s;
    s.preset = preset;
    if (!w || !w.value()->addVideoInput(s) || !w.value()->startWriting()) return 1;
    media::MovieWriter& m = *w.value();
    m.startSession(media::MediaTime::make(0, 1000000));
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < frames.size(); ++i) {
      while (!m.isReadyForMoreMediaData())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      m.append(frames[i], media::MediaTime::make(static_cast<int64_t>(i) * 33333, 1000000));
    }
    Semaphore done{0};
    m.markAsFinished();
    m.finishWriting([&] { done.release(); });
    done.acquire();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("preset %-10s %5.2f ms/frame (%zu frames, %.0f kB)\n", preset,
                ms / double(frames.size()), frames.size(),
                double(std::filesystem::file_size(out)) / 1024.0);
  }
  std::filesystem::remove(out);
  return 0;
}
