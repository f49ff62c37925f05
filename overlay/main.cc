// talvex-overlay <movie> <frames.jsonl> <out.mp4|out.png>: draws what the analysis found.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>

#include "overlay/contact_sheet.h"
#include "overlay/frames_file.h"
#include "overlay/interruption.h"
#include "overlay/movie_source.h"
#include "overlay/overlay_movie.h"
#include "platform/process/output.h"

namespace {

bool endsWithPng(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext == ".png";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace talvex;
  // Before any thread exists: see Interruption.
  overlay::Interruption interruption;
  if (argc < 4) fail("usage: talvex-overlay <movie> <frames.jsonl> <out.mp4|out.png>");
  const std::string moviePath = argv[1], framesPath = argv[2], out = argv[3];

  auto frames = overlay::readFramesFile(framesPath);
  interruption.endIfInterrupted();
  if (!frames) fail(frames.message());
  auto movie = overlay::openMovie(moviePath);
  if (!movie) fail(movie.message());
  // The drawing replaces the output once it is complete: never by the files it is drawn from.
  std::error_code notSame;
  if (std::filesystem::equivalent(out, moviePath, notSame))
    fail("cannot write " + out + ": it is the movie");
  if (std::filesystem::equivalent(out, framesPath, notSame))
    fail("cannot write " + out + ": it is the frames file");

  if (endsWithPng(out)) {
    overlay::SheetSummary sum;
    const std::string title = std::filesystem::path(moviePath).filename().string();
    auto sheet = overlay::drawContactSheet(*movie, *frames, title, sum, interruption.token());
    interruption.endIfInterrupted();
    if (!sheet) fail(sheet.message());
    if (Status s = sheet->writePng(out); !s) fail("cannot write " + out + ": " + s.message());
    printResult("sheet of " + std::to_string(sum.frames) + " frames and " +
                std::to_string(sum.records) + " records");
  } else {
    auto sum = overlay::writeOverlayMovie(*movie, *frames, out, interruption.token());
    // The unfinished movie is gone by now.
    interruption.endIfInterrupted();
    if (!sum) fail(sum.message());
    printResult("drew " + std::to_string(sum->records) + " records on " +
                std::to_string(sum->frames) + " frames");
  }
  return 0;
}
