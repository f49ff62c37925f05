#include "lumipose/live/control_channel.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "lumipose/live/live.h"
#include "platform/process/output.h"

namespace talvex::lumipose {

control::Command parseControlLine(std::string_view line) {
  const size_t begin = line.find_first_not_of(' ');
  if (begin == std::string_view::npos) return control::Ignore{};
  const size_t space = line.find(' ', begin);
  const std::string_view word =
      line.substr(begin, space == std::string_view::npos ? space : space - begin);
  const std::string_view rest =
      space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
  if (word == "REC" && !rest.empty()) {
    std::vector<std::string_view> paths;
    size_t i = 0;
    while (i < rest.size()) {
      const size_t from = rest.find_first_not_of('\t', i);
      if (from == std::string_view::npos) break;
      const size_t to = rest.find('\t', from);
      paths.push_back(rest.substr(from, to == std::string_view::npos ? to : to - from));
      i = to == std::string_view::npos ? rest.size() : to;
    }
    if (paths.size() != 2) return control::RecUsage{};
    return control::Rec{std::string(paths[0]), std::string(paths[1])};
  }
  if (word == "STOP") return control::Stop{};
  if (word == "QUIT") return control::Quit{};
  return control::Ignore{};
}

namespace {

void dispatch(const control::Command& command, Live& live) {
  if (const auto* rec = std::get_if<control::Rec>(&command)) {
    live.rec(rec->movie, rec->frames);
  } else if (std::holds_alternative<control::RecUsage>(command)) {
    say(kRecUsageLine);
  } else if (std::holds_alternative<control::Stop>(command)) {
    live.stop();
  } else if (std::holds_alternative<control::Quit>(command)) {
    live.quit();
  }
}

void handleLine(std::string_view line, bool terminated, Live& live) {
  if (terminated && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  dispatch(parseControlLine(line), live);
}

}  // namespace

void runControlLoop(int fd, Live& live) {
  std::string pending;
  char buf[4096];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t start = 0, nl;
    while ((nl = pending.find('\n', start)) != std::string::npos) {
      handleLine(std::string_view(pending).substr(start, nl - start), true, live);
      start = nl + 1;
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) handleLine(pending, false, live);
  live.quit();
}

}  // namespace talvex::lumipose
