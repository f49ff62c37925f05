// talvex-lumipose-testcam: the camera program for machines without a camera. Its camera is
// the FFmpeg input named by TALVEX_TEST_CAMERA (a movie file played in real time and looped,
// or a lavfi graph); everything after opening the camera is the shipped program's code.
// TALVEX_TEST_CAMERA_PERMISSION plays the permission answers a real machine can give:
// "authorized" (the default), "denied", "restricted", or not determined with the user's answer
// to the request: "ask-grant", "ask-refuse", or "ask-pending" (never answered).
// TALVEX_TEST_CAMERA_LOG names a file that gets one line per frame handed to the program (its
// capture timestamp), for tests that must know when frames were captured.
// Built for the tests only, never installed.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "lumipose/cli/command_line.h"
#include "lumipose/testcam/frame_log.h"
#include "platform/media/camera/played_camera.h"
#include "platform/process/output.h"

namespace {

using talvex::media::CameraPermission;

struct PlayedPermission {
  CameraPermission status = CameraPermission::Authorized;
  std::function<bool()> ask;
};

PlayedPermission playedPermission(const std::string& word) {
  if (word == "denied") return {CameraPermission::Denied, {}};
  if (word == "restricted") return {CameraPermission::Restricted, {}};
  if (word == "ask-grant") return {CameraPermission::NotDetermined, [] { return true; }};
  if (word == "ask-refuse") return {CameraPermission::NotDetermined, [] { return false; }};
  if (word == "ask-pending")
    return {CameraPermission::NotDetermined, [] {
              while (true) std::this_thread::sleep_for(std::chrono::hours(1));
              return false;
            }};
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const char* input = std::getenv("TALVEX_TEST_CAMERA");
  const char* permission = std::getenv("TALVEX_TEST_CAMERA_PERMISSION");
  PlayedPermission p = playedPermission(permission ? permission : "");
  auto camera = talvex::media::inputCameraSource(input ? input : "", p.status, std::move(p.ask));
  if (const char* log = std::getenv("TALVEX_TEST_CAMERA_LOG"); log && *log) {
    auto logged = talvex::lumipose::frameLoggingSource(*camera, log);
    talvex::exitProcess(talvex::lumipose::lumiposeMain(argc, argv, *logged));
  }
  talvex::exitProcess(talvex::lumipose::lumiposeMain(argc, argv, *camera));
}
