// POSIX back end of the keys: the terminal in non-canonical mode without echo, read with poll.
#include <poll.h>
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

// The terminal's settings before keys_begin, written once before `raw` is set. `raw` is read by
// the signal handlers (lock-free atomic, seq_cst) to know whether there is anything to put back.
termios g_saved;
std::atomic<bool> g_raw{false};
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
    g_raw.store(true);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0) return true;
    g_raw.store(false);
    return false;
}

void keys_end() { restore_terminal(); }

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
