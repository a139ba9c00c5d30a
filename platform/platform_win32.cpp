// Win32 back end of the OS layer: LoadLibraryA, auto-reset events, CreateThread, Sleep.
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <vector>

namespace platform {
namespace {

struct ThreadStart {
    ThreadRoutine routine;
    void *arg;
};

DWORD WINAPI thread_trampoline(LPVOID p) {
    ThreadStart start = *static_cast<ThreadStart *>(p);
    delete static_cast<ThreadStart *>(p);
    return start.routine(start.arg);
}

}  // namespace

LibraryHandle load_library(const char *name) { return LoadLibraryA(name); }
void *find_entry(LibraryHandle library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void free_library(LibraryHandle library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}
const char *aspi_library_name() { return "WNASPI32.DLL"; }

EventHandle create_event() { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }
void close_event(EventHandle event) {
    if (event) CloseHandle(event);
}
void signal_event(EventHandle event) { SetEvent(event); }
void reset_event(EventHandle event) { ResetEvent(event); }

WaitResult wait_event(EventHandle event, std::chrono::milliseconds timeout) {
    switch (WaitForSingleObject(event, static_cast<DWORD>(timeout.count()))) {
    case WAIT_OBJECT_0: return WaitResult::signalled;
    case WAIT_TIMEOUT: return WaitResult::timed_out;
    default: return WaitResult::failed;
    }
}

bool start_thread(ThreadRoutine routine, void *arg) {
    auto *start = new (std::nothrow) ThreadStart{routine, arg};
    if (!start) return false;
    DWORD id;
    HANDLE thread =
        CreateThread(nullptr, THREAD_STACK_BYTES, thread_trampoline, start, STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (!thread) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

void sleep_ms(std::chrono::milliseconds duration) { Sleep(static_cast<DWORD>(duration.count())); }

void end_process_now(int status) {
    keys_end();
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(status));
}

// A console answers GetConsoleMode; files, pipes and NUL do not.
bool stderr_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void write_text(std::FILE *stream, std::string_view text) {
    HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const int size = static_cast<int>(text.size());
    const int wide = size > 0 && GetConsoleMode(console, &mode)
                         ? MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)
                         : 0;
    if (wide <= 0) {  // no console, nothing to write, or no text MultiByteToWideChar takes
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    std::vector<wchar_t> utf16(static_cast<std::size_t>(wide));
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, utf16.data(), wide);
    std::fflush(stream);
    DWORD written = 0;
    WriteConsoleW(console, utf16.data(), static_cast<DWORD>(wide), &written, nullptr);
}

bool first_report_in_this_run(const std::string &key) {
    constexpr const char *kName = "CDDAPLAY_IMAGES_REPORTED";
    // The process environment, not the C library's copy: it outlives every load of the DLL.
    std::string keys(GetEnvironmentVariableA(kName, nullptr, 0), '\0');
    const DWORD n = keys.empty() ? 0 : GetEnvironmentVariableA(kName, keys.data(), static_cast<DWORD>(keys.size()));
    keys.resize(n < keys.size() ? n : 0);
    if (("\n" + keys + "\n").find("\n" + key + "\n") != std::string::npos) return false;
    SetEnvironmentVariableA(kName, keys.empty() ? key.c_str() : (keys + "\n" + key).c_str());
    return true;
}

}  // namespace platform
