#pragma once
// The program's run, from the command line to the end of playback; the process exit status.
//
// Sequence: options -> unit discovery -> table of contents -> the playback driver on its own
// thread (and the status line, when standard error is a terminal) -> wait for ENTER on standard
// input. With -l: options -> unit discovery -> the listing, and nothing is played. A -d or -t that
// names no unit or track falls back to unit 0 or track 1 with one line on standard error. Returns 1 after the usage text or a failure before
// playback, 0 once playback has started. After ENTER it asks the driver to stop and waits at most
// 1000 ms for it to end, returning as soon as it has; when it has not ended by then (a command is
// still in flight), standard output is flushed and the process ends at once with status 0,
// without static destructors. When standard input is at end of file (no
// console, < /dev/null, a closed pipe) no ENTER will come: it waits for playback to end by itself.

#include <chrono>

inline constexpr std::chrono::milliseconds EXIT_GRACE_MS{1000};

int run_cddaplay(int argc, const char *const *argv);
