// Windows: an anonymous pipe set as STD_ERROR_HANDLE and as the C library's descriptor 2; the
// console kept by its handle.
#include "platform/status_terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t DEFAULT_COLUMNS = 80;
constexpr DWORD PEEK_STEP_MS = 10;

// Written by begin on the main thread before the status thread starts.
HANDLE g_console = INVALID_HANDLE_VALUE;
HANDLE g_pipe = INVALID_HANDLE_VALUE;  // read end
int g_saved_fd = -1;                    // the C library's descriptor 2 as it was
std::atomic<bool> g_capturing{false};

// Reads what the pipe holds without blocking; false once it is broken (no write end is left).
bool drain(std::string &out) {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(g_pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) return true;
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(g_pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr)) return false;
        out.append(buffer, got);
    }
}

HANDLE terminal() { return g_capturing.load(std::memory_order_acquire) ? g_console : GetStdHandle(STD_ERROR_HANDLE); }

}  // namespace

bool begin_stderr_capture() {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) return false;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return false;
    const int pipe_fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_TEXT);
    const int saved = _dup(2);
    if (pipe_fd < 0 || saved < 0 || _dup2(pipe_fd, 2) != 0) {
        if (saved >= 0) _close(saved);
        if (pipe_fd >= 0) _close(pipe_fd);
        else CloseHandle(write_end);
        CloseHandle(read_end);
        return false;
    }
    _close(pipe_fd);
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
    // Descriptor 2's own console handle went with the _dup2; the saved descriptor holds another.
    g_console = reinterpret_cast<HANDLE>(_get_osfhandle(saved));
    g_pipe = read_end;
    g_saved_fd = saved;
    g_capturing.store(true, std::memory_order_release);
    return true;
}

void read_captured_stderr(std::string &out, std::chrono::milliseconds timeout) {
    if (!g_capturing.load(std::memory_order_acquire)) return;
    for (DWORD waited = 0;; waited += PEEK_STEP_MS) {
        const std::size_t before = out.size();
        if (!drain(out) || out.size() > before || waited >= static_cast<DWORD>(timeout.count())) return;
        Sleep(PEEK_STEP_MS);
    }
}

void end_stderr_capture(std::string &rest) {
    if (!g_capturing.exchange(false, std::memory_order_acq_rel)) return;
    std::fflush(stderr);
    _dup2(g_saved_fd, 2);  // closes the pipe's write end that descriptor 2 held
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
    _close(g_saved_fd);
    drain(rest);
    CloseHandle(g_pipe);
    g_pipe = INVALID_HANDLE_VALUE;
    g_saved_fd = -1;
}

void write_to_terminal(const char *text, std::size_t size) {
    const HANDLE out = terminal();
    // A console takes characters, not bytes in its code page: titles and file names are UTF-8.
    DWORD mode = 0;
    const int length = static_cast<int>(size);
    const int wide = length > 0 && GetConsoleMode(out, &mode) ? MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0)
                                                              : 0;
    if (wide > 0) {
        std::vector<wchar_t> utf16(static_cast<std::size_t>(wide));
        MultiByteToWideChar(CP_UTF8, 0, text, length, utf16.data(), wide);
        DWORD written = 0;
        WriteConsoleW(out, utf16.data(), static_cast<DWORD>(wide), &written, nullptr);
        return;
    }
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(out, text, static_cast<DWORD>(size), &written, nullptr) || written == 0) return;
        text += written;
        size -= written;
    }
}

std::size_t terminal_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(terminal(), &info)) return DEFAULT_COLUMNS;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? static_cast<std::size_t>(width) : DEFAULT_COLUMNS;
}

}  // namespace platform
