// POSIX back end of the keys: the terminal in non-canonical mode without echo, read with poll.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr int ESCAPE = 0x1B;
// The rest of an escape sequence arrives with its first byte; a lone ESC waits no longer than this.
constexpr int SEQUENCE_WAIT_MS = 30;
constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal's settings before keys_begin and in key mode, written once before `raw` is set.
// `raw` is read by the signal handlers (lock-free atomic, seq_cst) to know whether there is anything
// to put back; `wanted` says key mode is to come back after a stop (Ctrl+Z, then fg).
termios g_saved;
termios g_keys;
std::atomic<bool> g_raw{false};
std::atomic<bool> g_wanted{false};
std::atomic<bool> g_interrupted{false};
bool g_at_end = false;  // main thread only: standard input reached its end

void restore_terminal() {
    if (g_raw.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

// Installed with SA_RESETHAND: after the terminal is back, the signal is raised again and takes
// its default action (a core dump, the end of the process).
void on_fatal_signal(int signal_number) {
    restore_terminal();
    raise(signal_number);
}

void on_interrupt(int) { g_interrupted.store(true); }

// Key mode again once the process is continued in the foreground (fg). In the background the
// terminal is the shell's: setting it would only stop the process again (SIGTTOU).
void on_continue(int) {
    const int saved_errno = errno;
    if (g_wanted.load() && !g_raw.load() && tcgetpgrp(STDIN_FILENO) == getpgrp()) {
        g_raw.store(true);
        tcsetattr(STDIN_FILENO, TCSANOW, &g_keys);
    }
    errno = saved_errno;
}

// Ctrl+Z: the shell gets its terminal back as it was, then the process stops as it would have
// without this handler (the stop signal, at its default action, raised again and let through).
void on_stop(int signal_number) {
    const int saved_errno = errno;
    restore_terminal();
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(signal_number, &stop, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);  // stopped here until SIGCONT
    stop.sa_handler = on_stop;
    stop.sa_flags = SA_RESTART;
    sigaction(signal_number, &stop, nullptr);
    errno = saved_errno;
}

void catch_stop_and_continue() {
    struct sigaction handler {};
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = SA_RESTART;  // the other threads' reads and writes carry on after a continue
    handler.sa_handler = on_stop;
    sigaction(SIGTSTP, &handler, nullptr);
    handler.sa_handler = on_continue;
    sigaction(SIGCONT, &handler, nullptr);
}

// Waits up to `ms` for a byte; -1 when none came or the input has ended (then g_at_end).
int read_byte(int ms) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&p, 1, ms);
    if (ready <= 0) return -1;
    unsigned char byte;
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n == 1) return byte;
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) g_at_end = true;
    return -1;
}

// After ESC: "[C"/"OC" is the right arrow, "[D"/"OD" the left one; anything else is swallowed.
KeyPress escape_sequence() {
    const int introducer = read_byte(SEQUENCE_WAIT_MS);
    if (introducer != '[' && introducer != 'O') return {};
    int final_byte = read_byte(SEQUENCE_WAIT_MS);
    // Parameters ("1;5C") come before the final byte, which lies in 0x40..0x7E.
    while (final_byte >= 0x20 && final_byte < 0x40) final_byte = read_byte(SEQUENCE_WAIT_MS);
    if (final_byte == 'C') return {KeyPress::Kind::right, 0};
    if (final_byte == 'D') return {KeyPress::Kind::left, 0};
    return {};
}

}  // namespace

bool keys_begin() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved) != 0) return false;
    termios keys = g_saved;
    keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    struct sigaction fatal {};
    fatal.sa_handler = on_fatal_signal;
    fatal.sa_flags = SA_RESETHAND;
    sigemptyset(&fatal.sa_mask);
    for (int s : FATAL_SIGNALS) sigaction(s, &fatal, nullptr);
    g_keys = keys;
    g_raw.store(true);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) {
        g_raw.store(false);
        return false;
    }
    g_wanted.store(true);
    catch_stop_and_continue();
    return true;
}

void keys_end() {
    g_wanted.store(false);
    restore_terminal();
}

KeyPress read_key(std::chrono::milliseconds timeout) {
    if (g_at_end) {
        sleep_ms(timeout);
        return {KeyPress::Kind::end_of_input, 0};
    }
    const int byte = read_byte(static_cast<int>(timeout.count()));
    if (g_at_end) return {KeyPress::Kind::end_of_input, 0};
    if (byte < 0) return {};
    if (byte == ESCAPE && g_raw.load()) return escape_sequence();
    return {KeyPress::Kind::character, static_cast<char>(byte)};
}

void catch_interrupt() {
    struct sigaction interrupt {};
    interrupt.sa_handler = on_interrupt;
    sigemptyset(&interrupt.sa_mask);
    sigaction(SIGINT, &interrupt, nullptr);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace platform
