// Win32 back end of the keys: console input records (ReadConsoleInputW), which carry no echo and
// name the arrows by their virtual-key codes. Input that is no console (a pipe, a file, NUL) is
// read one byte at a time by a helper thread, so the main thread can wait with a time-out.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace platform {
namespace {

DWORD g_saved_mode = 0;
std::atomic<bool> g_console_keys{false};
std::atomic<bool> g_interrupted{false};

// Helper thread -> main thread: one byte of piped input (0..255), -1 at its end; -2 while the
// helper is reading. Release store, acquire load; the helper reads the next byte only after the
// main thread has taken this one (stored -2 back).
std::atomic<int> g_piped_byte{-2};
std::atomic<bool> g_piped_reader{false};
bool g_at_end = false;

DWORD WINAPI read_piped(LPVOID) {
    for (;;) {
        unsigned char byte;
        DWORD n = 0;
        const BOOL ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &n, nullptr);
        g_piped_byte.store(ok && n == 1 ? byte : -1, std::memory_order_release);
        if (!ok || n != 1) return 0;
        while (g_piped_byte.load(std::memory_order_acquire) != -2) Sleep(10);
    }
}

KeyPress piped_key(std::chrono::milliseconds timeout) {
    bool started = false;
    if (g_piped_reader.compare_exchange_strong(started, true)) {
        HANDLE thread = CreateThread(nullptr, 0, read_piped, nullptr, 0, nullptr);
        if (!thread) g_piped_byte.store(-1);
        else CloseHandle(thread);
    }
    for (auto waited = std::chrono::milliseconds{0};; waited += std::chrono::milliseconds{10}) {
        const int byte = g_piped_byte.load(std::memory_order_acquire);
        if (byte == -1) {
            g_at_end = true;
            return {KeyPress::Kind::end_of_input, 0};
        }
        if (byte >= 0) {
            g_piped_byte.store(-2, std::memory_order_release);
            return {KeyPress::Kind::character, static_cast<char>(byte)};
        }
        if (waited >= timeout) return {};
        Sleep(10);
    }
}

KeyPress key_of(const KEY_EVENT_RECORD &key) {
    if (!key.bKeyDown) return {};
    if (key.wVirtualKeyCode == VK_LEFT) return {KeyPress::Kind::left, 0};
    if (key.wVirtualKeyCode == VK_RIGHT) return {KeyPress::Kind::right, 0};
    if (key.wVirtualKeyCode == VK_RETURN) return {KeyPress::Kind::character, '\n'};
    const WCHAR c = key.uChar.UnicodeChar;
    if (c == 0 || c > 0x7F) return {};
    return {KeyPress::Kind::character, static_cast<char>(c)};
}

BOOL WINAPI on_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    g_interrupted.store(true);
    return TRUE;
}

}  // namespace

bool keys_begin() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(in, &g_saved_mode)) return false;
    // No line input and no echo; ENABLE_PROCESSED_INPUT stays, so Ctrl+C still reaches the handler.
    const DWORD keys = g_saved_mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
    if (!SetConsoleMode(in, keys)) return false;
    g_console_keys.store(true);
    return true;
}

void keys_end() {
    if (g_console_keys.exchange(false)) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_saved_mode);
}

KeyPress read_key(std::chrono::milliseconds timeout) {
    if (g_at_end) {
        sleep_ms(timeout);
        return {KeyPress::Kind::end_of_input, 0};
    }
    if (!g_console_keys.load()) return piped_key(timeout);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (WaitForSingleObject(in, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return {};
    INPUT_RECORD record;
    DWORD n = 0;
    if (!ReadConsoleInputW(in, &record, 1, &n) || n != 1 || record.EventType != KEY_EVENT) return {};
    return key_of(record.Event.KeyEvent);
}

void catch_interrupt() { SetConsoleCtrlHandler(on_control, TRUE); }

bool interrupted() { return g_interrupted.load(); }

}  // namespace platform
