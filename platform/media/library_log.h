// FFmpeg's own log lines. Internal to platform/media.
#pragma once

namespace talvex::media {

// FFmpeg reports problems on standard error by default, where they would break the programs'
// one-line protocol; our callers report failures themselves from the returned codes. Every
// entry point of platform/media that calls FFmpeg calls this first; only the first call acts.
void silenceLibraryLog();

}  // namespace talvex::media
