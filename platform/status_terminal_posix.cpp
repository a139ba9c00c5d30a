// POSIX: a pipe dup2'ed onto descriptor 2; the terminal kept on a descriptor of its own.
#include "platform/status_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace platform {
namespace {

constexpr std::size_t DEFAULT_COLUMNS = 80;

// The terminal's own descriptor (a duplicate of the original 2) and the pipe's read end; -1 when
// no capture is active. Written by begin on the main thread before the status thread starts.
int g_terminal = -1;
int g_pipe = -1;
std::atomic<bool> g_capturing{false};  // cleared once by the first end (acq_rel exchange)

constexpr int LAST_WORDS_MS = 100;  // a write still under way when the terminal is given back

// Reads what the pipe holds; false once it has reached its end (no write end is left).
bool drain(std::string &out) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(g_pipe, buffer, sizeof buffer);
        if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else return n < 0;
    }
}

}  // namespace

bool begin_stderr_capture() {
    if (isatty(STDERR_FILENO) != 1) return false;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    const int terminal = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (terminal < 0 || dup2(ends[1], STDERR_FILENO) < 0) {
        if (terminal >= 0) close(terminal);
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    close(ends[1]);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    g_terminal = terminal;
    g_pipe = ends[0];
    g_capturing.store(true, std::memory_order_release);
    return true;
}

void read_captured_stderr(std::string &out, std::chrono::milliseconds timeout) {
    if (!g_capturing.load(std::memory_order_acquire)) return;
    pollfd p{g_pipe, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) > 0) drain(out);
}

void end_stderr_capture(std::string &rest) {
    if (!g_capturing.exchange(false, std::memory_order_acq_rel)) return;
    // Descriptor 2 was the pipe's only write end: once it is the terminal again, the pipe reads to
    // its end.
    dup2(g_terminal, STDERR_FILENO);
    pollfd p{g_pipe, POLLIN, 0};
    while (drain(rest) && poll(&p, 1, LAST_WORDS_MS) > 0) {
    }
    close(g_pipe);
    close(g_terminal);
    g_pipe = g_terminal = -1;
}

void write_to_terminal(const char *text, std::size_t size) {
    const int fd = g_capturing.load(std::memory_order_acquire) ? g_terminal : STDERR_FILENO;
    while (size > 0) {
        const ssize_t n = write(fd, text, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::size_t terminal_columns() {
    const int fd = g_capturing.load(std::memory_order_acquire) ? g_terminal : STDERR_FILENO;
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return DEFAULT_COLUMNS;
    return size.ws_col;
}

}  // namespace platform
