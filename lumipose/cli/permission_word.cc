#include "lumipose/cli/permission_word.h"

namespace talvex::lumipose {

const char* permissionWord(media::CameraPermission p) {
  switch (p) {
    case media::CameraPermission::Restricted:
      return "restricted";
    case media::CameraPermission::Denied:
      return "denied";
    case media::CameraPermission::Authorized:
      return "authorized";
    default:
      return "notDetermined";
  }
}

}  // namespace talvex::lumipose
