#include "lumipose/mux/mux.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "platform/media/export/composition.h"
#include "platform/media/export/export_session.h"
#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/process/atomic_file.h"
#include "platform/process/dispatch.h"
#include "platform/process/output.h"

namespace talvex::lumipose {

Status mux(const std::string& videoPath, const std::string& wavPath, const std::string& outPath,
           double offset) {
  using media::MediaTime;
  using media::MediaType;
  // A file that cannot be read at all says the same as one without the track.
  auto openedVideo = media::MovieAsset::open(videoPath);
  if (!openedVideo) return Status::failure("no video track");
  const media::MovieAsset& videoAsset = *openedVideo.value();
  const auto videoTracks = videoAsset.tracks(MediaType::Video);
  if (videoTracks.empty()) return Status::failure("no video track");
  auto openedAudio = media::MovieAsset::open(wavPath);
  if (!openedAudio) return Status::failure("no audio track");
  const media::MovieAsset& audioAsset = *openedAudio.value();
  const auto audioTracks = audioAsset.tracks(MediaType::Audio);
  if (audioTracks.empty()) return Status::failure("no audio track");
  // The video is copied without decoding, so a track whose frames are all damaged would make a
  // movie with no picture at all; it must give at least one frame.
  {
    auto reader = media::VideoFrameReader::create(videoAsset, videoTracks.front());
    if (!reader || !(*reader)->start() || !(*reader)->nextFrame())
      return Status::failure("the video track holds no frame that can be decoded");
  }

  media::Composition composition;
  media::CompositionTrack* videoTrack = composition.addTrack(MediaType::Video);
  media::CompositionTrack* audioTrack = composition.addTrack(MediaType::Audio);
  if (!videoTrack || !audioTrack) return Status::failure("composition failed");

  const MediaTime zero = MediaTime::zero();
  if (Status s = composition.insertTimeRange(*videoTrack, zero, videoAsset.duration(), videoAsset,
                                             videoTracks.front(), zero);
      !s)
    return s;

  // Every instant tau of the audio lands at tau + offset; what would land before 0 is dropped.
  const double shift = std::isnan(offset) ? 0.0 : offset;
  const MediaTime delay = MediaTime::fromSeconds(std::max(0.0, shift), 600);
  const MediaTime trim = MediaTime::fromSeconds(std::max(0.0, -shift), 600);
  const MediaTime remaining = media::subtract(audioAsset.duration(), trim);
  if (remaining.seconds() > 0) {
    if (Status s = composition.insertTimeRange(*audioTrack, trim, remaining, audioAsset,
                                               audioTracks.front(), delay);
        !s)
      return s;
  }
  composition.setPreferredTransform(*videoTrack, videoTracks.front().preferredTransform);

  // Only a file is replaced: a directory, a device or a pipe at the output path is left alone.
  if (Status s = checkReplaceable(outPath); !s) return s;
  std::error_code ignored;
  std::filesystem::remove(outPath, ignored);

  auto session = media::ExportSession::create(composition);
  if (!session) return Status::failure("export unavailable");
  session->setOutputPath(outPath);
  Semaphore done(0);
  session->exportAsynchronously([&done] { done.release(); });
  done.acquire();

  if (Status exported = session->result(); !exported)
    return Status::failure("mux failed: " + exported.message());
  printResult("muxed");
  return Status::ok();
}

}  // namespace talvex::lumipose
