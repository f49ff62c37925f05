// talvex-lumipose: answers `status` (and the missing command) itself, with nothing but the C++
// runtime loaded, and hands every other command to talvex-lumipose-engine by replacing itself
// with it: same process, arguments, standard streams and exit status. For `live`, SIGINT and
// SIGTERM are blocked first, so a signal that comes while the engine loads waits for the
// session's handlers instead of killing the process.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "lumipose/cli/engine_path.h"
#include "lumipose/cli/permission_word.h"
#include "platform/media/camera/camera_permission.h"
#include "platform/process/output.h"

int main(int argc, char** argv) {
  using namespace talvex;
  if (argc >= 2 && std::strcmp(argv[1], "status") == 0) {
    printResult(lumipose::permissionWord(media::cameraPermission()));
    exitProcess(0);
  }
  if (argc >= 2 && std::strcmp(argv[1], "live") == 0) {
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &quitSignals, nullptr);
  }
  const std::string engine = lumipose::enginePath();
  ::execv(engine.c_str(), argv);
  fail(std::string("cannot start ") + engine + ": " + std::strerror(errno));
}
