#pragma once
// The terminal under the status line, and standard error while the line is shown. One
// implementation file per platform (status_terminal_posix.cpp, status_terminal_win32.cpp).
//
// While the line is shown, anything written to standard error — by this program or by another
// binary in the process (the pass-through library, alsa-lib), with fprintf or a raw write — would
// land in the middle of the line. So standard error is captured: the process's standard error
// (descriptor 2 and the C library's stderr; STD_ERROR_HANDLE on Windows) becomes the write end of a
// pipe, and the status thread reads that pipe and prints whole lines above the line on the
// terminal, which it keeps for itself. The status thread gives the terminal back whenever the line
// ends (played out, device closed, stopped), before it reports that it has finished.
//
// Threads: begin_stderr_capture on the main thread, before any thread that may print is started;
// read_captured_stderr, write_to_terminal, terminal_columns and end_stderr_capture on the status
// thread (end only once; later calls do nothing). Other threads only write to standard error.

#include <chrono>
#include <cstddef>
#include <string>

namespace platform {

// Standard error becomes the capture pipe; the terminal it was stays reachable through
// write_to_terminal. False (and nothing changed) when standard error is no terminal or the pipe
// cannot be made.
bool begin_stderr_capture();

// Waits at most `timeout` for bytes written to standard error and appends them to `out`. Returns
// at once when no capture is active.
void read_captured_stderr(std::string &out, std::chrono::milliseconds timeout);

// Standard error is the terminal again; what was still in the pipe is appended to `rest`.
void end_stderr_capture(std::string &rest);

// Writes `size` bytes to the terminal (the captured one while a capture is active, otherwise
// standard error).
void write_to_terminal(const char *text, std::size_t size);

// The width of that terminal in columns, asked anew on each call so the line follows resizes
// (TIOCGWINSZ; the console window's width on Windows); 80 when it cannot be told.
std::size_t terminal_columns();

}  // namespace platform
