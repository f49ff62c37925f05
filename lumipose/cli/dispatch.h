#pragma once

namespace talvex::lumipose {

// The entry point of talvex-lumipose: dispatches on the command word. Returns the exit status
// for the paths that return; the others end the process themselves.
int lumiposeMain(int argc, char** argv);

}  // namespace talvex::lumipose
