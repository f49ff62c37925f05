// The picture size and rate of the live session: what the camera is asked for and what the
// recording is encoded at.
#pragma once

namespace talvex::media {

inline constexpr int kLiveWidth = 1280;
inline constexpr int kLiveHeight = 720;
inline constexpr int kLiveFps = 30;

}  // namespace talvex::media
