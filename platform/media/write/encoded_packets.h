// Taking an encoder's finished packets, shared by the writers that encode. Internal to
// platform/media: FFmpeg types appear here.
#pragma once

#include <functional>
#include <string>

#include "platform/media/av_handles.h"
#include "platform/process/result.h"

namespace talvex::media {

// Takes every packet `enc` has ready, moves it to `stream`'s time base and track, and gives it
// to `write`; returns at the first failure, named by `encodeFailure` when encoding failed.
Status takeEncodedPackets(AVCodecContext* enc, const AVStream* stream,
                          const std::string& encodeFailure,
                          const std::function<Status(AVPacket*)>& write);

}  // namespace talvex::media
