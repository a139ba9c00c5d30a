#pragma once
// The program's run, from the command line to the end of playback; the process exit status.
//
// Sequence: options -> unit discovery -> table of contents -> the playback driver on its own
// thread (and the status line, when standard error is a terminal) -> keys on standard input
// (front/player.h). With -l: options -> unit discovery -> the listing, and nothing is played. A -d
// or -t that names no unit or track falls back to unit 0 or track 1 with one line on standard
// error. Returns 1 after the usage text or a failure before playback, 0 once playback has started,
// 130 after Ctrl+C. After ENTER (or q, or Ctrl+C) it asks the driver to stop and waits at most
// 1000 ms for it and the status line to end, returning as soon as they have; when they have not
// ended by then (a command is still in flight), standard output is flushed and the process ends at
// once with that status, without static destructors. When standard input is at end of file (no
// console, < /dev/null, a closed pipe) no ENTER will come: it waits for playback to end by itself.

#include <chrono>

inline constexpr std::chrono::milliseconds EXIT_GRACE_MS{1000};

int run_cddaplay(int argc, const char *const *argv);
