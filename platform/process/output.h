// Line output shared by both programs. Every line is handed to the kernel whole, terminator
// included, in one write(2), so lines written from several threads never interleave.
#pragma once

#include <string_view>

namespace talvex {

// Writes `line` + "\n" to standard error. No buffering, no lock; callable from any thread.
void say(std::string_view line);

// Writes `line` + "\n" to standard output, the channel for a one-shot command's result line.
void printResult(std::string_view line);

// Writes `text` (already terminated) to `fd` with one write call, retrying only on EINTR or
// a short write. Errors are dropped: a report line that cannot be written changes nothing.
void writeWhole(int fd, std::string_view text);

// Makes a write to a pipe whose reader has gone fail with EPIPE instead of ending the process
// with SIGPIPE: a parent that closes its end of a channel costs the lines on it, never the
// clean-up (finishing a movie, deleting the preview). Call once, before any thread starts.
void ignoreBrokenPipes();

// say("ERR:" + message), then exit status 1.
[[noreturn]] void fail(std::string_view message);

// Ends the process now with `status`. Static destructors are not run: other threads may still
// be inside library code, and every file the programs write is complete before they call this.
[[noreturn]] void exitProcess(int status);

}  // namespace talvex
