#include "lumipose/mux/mux.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "platform/media/export/composition.h"
#include "platform/media/export/export_session.h"
#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/process/dispatch.h"
#include "platform/process/output.h"

namespace talvex::lumipose {

void mux(const std::string& videoPath, const std::string& wavPath, const std::string& outPath,
         double offset) {
  using media::MediaTime;
  using media::MediaType;
  auto videoAsset = media::MovieAsset::open(videoPath);
  auto audioAsset = media::MovieAsset::open(wavPath);
  const auto videoTracks = videoAsset->tracks(MediaType::Video);
  if (videoTracks.empty()) fail("no video track");
  const auto audioTracks = audioAsset->tracks(MediaType::Audio);
  if (audioTracks.empty()) fail("no audio track");
  // The video is copied without decoding, so a track whose frames are all damaged would make a
  // movie with no picture at all; it must give at least one frame.
  {
    auto reader = media::VideoFrameReader::create(*videoAsset, videoTracks.front());
    if (!reader || !(*reader)->start() || !(*reader)->nextFrame())
      fail("the video track holds no frame that can be decoded");
  }

  media::Composition composition;
  media::CompositionTrack* videoTrack = composition.addTrack(MediaType::Video);
  media::CompositionTrack* audioTrack = composition.addTrack(MediaType::Audio);
  if (!videoTrack || !audioTrack) fail("composition failed");

  const MediaTime zero = MediaTime::zero();
  if (Status s = composition.insertTimeRange(*videoTrack, zero, videoAsset->duration(), *videoAsset,
                                             videoTracks.front(), zero);
      !s)
    fail(s.message());

  // Every instant tau of the audio lands at tau + offset; what would land before 0 is dropped.
  const double shift = std::isnan(offset) ? 0.0 : offset;
  const MediaTime delay = MediaTime::fromSeconds(std::max(0.0, shift), 600);
  const MediaTime trim = MediaTime::fromSeconds(std::max(0.0, -shift), 600);
  const MediaTime remaining = media::subtract(audioAsset->duration(), trim);
  if (remaining.seconds() > 0) {
    if (Status s = composition.insertTimeRange(*audioTrack, trim, remaining, *audioAsset,
                                               audioTracks.front(), delay);
        !s)
      fail(s.message());
  }
  composition.setPreferredTransform(*videoTrack, videoTracks.front().preferredTransform);

  // Only a file is replaced: a directory, a device or a pipe at the output path is left alone.
  std::error_code ignored;
  const auto existing = std::filesystem::status(outPath, ignored);
  if (std::filesystem::exists(existing) && !std::filesystem::is_regular_file(existing))
    fail("not a regular file: " + outPath);
  std::filesystem::remove(outPath, ignored);

  auto session = media::ExportSession::create(composition, media::kPresetHighestQuality);
  if (!session) fail("export unavailable");
  session->setOutputPath(outPath);
  session->setOutputFileType(media::FileType::QuickTimeMovie);
  Semaphore done(0);
  session->exportAsynchronously([&done] { done.release(); });
  done.acquire();

  if (session->status() == media::ExportSession::Status::Completed) {
    printResult("muxed");
    return;
  }
  fail("mux failed: " + session->error().value_or("unknown"));
}

}  // namespace talvex::lumipose
