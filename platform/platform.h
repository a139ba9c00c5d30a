#pragma once
// The thin OS layer: run-time library loading, completion events, detached threads, sleeping.
// One implementation file per platform (platform_posix.cpp, platform_win32.cpp), chosen by the
// build. Nothing here prints.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

// ---- Run-time libraries ---------------------------------------------------------------------
// LoadLibraryA / dlopen(RTLD_NOW | RTLD_LOCAL). Null when the library cannot be loaded.
using LibraryHandle = void *;
LibraryHandle load_library(const char *name);
// GetProcAddress / dlsym. Null when the entry point is missing.
void *find_entry(LibraryHandle library, const char *name);
void free_library(LibraryHandle library);
// The file name of the pass-through library on this platform: "WNASPI32.DLL" on Windows,
// "libwnaspi32.so" on POSIX (found beside the program through its RUNPATH).
const char *aspi_library_name();

// ---- Completion events ----------------------------------------------------------------------
// An auto-reset event, initially unsignalled: a Win32 event handle, or an eventfd on POSIX carried
// as (void *)(intptr_t)fd. This value is what goes into SRB_PostProc. Null when creation failed.
using EventHandle = void *;
EventHandle create_event();
void close_event(EventHandle event);
// Sets the event; a waiter that is woken consumes the signal (auto-reset).
void signal_event(EventHandle event);
// Drops a pending signal without waiting.
void reset_event(EventHandle event);

enum class WaitResult { signalled, timed_out, failed };
// Waits at most `timeout` for the event; a signal that is seen is consumed.
WaitResult wait_event(EventHandle event, std::chrono::milliseconds timeout);

// ---- Threads and time -----------------------------------------------------------------------
// A thread routine takes one pointer to its record and returns 0.
using ThreadRoutine = std::uint32_t (*)(void *arg);
// Starts `routine(arg)` on a new detached thread (CreateThread with its handle closed at once;
// pthread_create, detached) with a stack of THREAD_STACK_BYTES. False when no thread could be
// started.
bool start_thread(ThreadRoutine routine, void *arg);
// The threads started here (the playback driver, the fetch workers) run shallow code, deepest in
// alsa-lib's set-up and printf: a quarter of a megabyte instead of the system's 8 MB (Linux) or
// 1 MB (Windows) reservation.
inline constexpr std::size_t THREAD_STACK_BYTES = 256 * 1024;
void sleep_ms(std::chrono::milliseconds duration);

// ---- Ending the process ---------------------------------------------------------------------
// Restores the terminal if keys_begin changed it, flushes every output stream, then ends the process with `status` at once, without running static
// destructors or atexit handlers, for when another thread may still be inside code whose state
// they would destroy (a library call in flight). POSIX: _exit. Windows: ExitProcess, which ends
// the other threads before any DLL is told that the process is detaching.
[[noreturn]] void end_process_now(int status);

// ---- Console ----------------------------------------------------------------------------------
// Whether standard error is a terminal (a console on Windows), where a status line can be redrawn.
bool stderr_is_terminal();

// Writes UTF-8 `text` to `stream` (stdout or stderr) so that people read it as written: titles from
// CD-Text, file names and every message that can carry more than ASCII go through here.
//   POSIX:   the bytes as they are (terminals, pipes and files all take UTF-8).
//   Windows: to a console, the text as UTF-16 through WriteConsoleW, which shows every character
//            whatever the console's code page, and changes nothing the user's console keeps after
//            the program (unlike switching its code page to UTF-8, which older consoles also
//            garble); to a pipe or file, the UTF-8 bytes through the C library (so "\n" still
//            becomes "\r\n" as for every other line). The stream is flushed first, so the text
//            keeps its place among what printf wrote before it.
// Not for a stream written by another thread at the same time.
void write_text(std::FILE *stream, std::string_view text);

// ---- Said once per run ------------------------------------------------------------------------
// Remembers, for the rest of this process, that `key` has been reported: true the first time a
// key is seen in this run of the program, false afterwards. The program loads the pass-through
// library anew in each phase and every load starts with fresh statics, so the memory lives in the
// process's environment (variable CDDAPLAY_IMAGES_REPORTED, named after its first user, the image
// back end), which outlives the library and starts empty in every new run (the program starts no
// child that could inherit it). Keys are kept one per line; a key holds no newline.
// Threads: POSIX, only while no other thread reads the environment (the back ends' open, on the
// program's main thread); Windows, any thread (the system serialises the process environment).
bool first_report_in_this_run(const std::string &key);
// ---- Keys -------------------------------------------------------------------------------------
// The main thread's view of standard input. Only the main thread calls these.
struct KeyPress {
    enum class Kind { none, character, left, right, end_of_input };
    Kind kind = Kind::none;
    char character = 0;  // for Kind::character: the byte as read (ENTER reads as '\n')
};
// When standard input is a terminal (a console on Windows): switches it to single keys without
// echo and returns true. The terminal is put back by keys_end, by end_process_now, and, on POSIX,
// by the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTERM, SIGHUP, SIGQUIT), which
// then take their default action. Ctrl+Z (SIGTSTP) also puts the terminal back before the process
// stops, and continuing it in the foreground (fg) switches to single keys again.
// False, and nothing changed, when standard input is not one.
bool keys_begin();
void keys_end();
// Waits at most `timeout` for input. With keys: one key (arrows decoded; other escape sequences
// swallowed and reported as Kind::none). Without: one byte of standard input as a character, or
// end_of_input once it is at its end (and at once on every later call).
KeyPress read_key(std::chrono::milliseconds timeout);
// From now on Ctrl+C (SIGINT; a console's Ctrl+C or Ctrl+Break) no longer ends the process: it is
// only recorded, and interrupted() says so. Async-signal-safe recording (a lock-free atomic).
void catch_interrupt();
bool interrupted();

}  // namespace platform
