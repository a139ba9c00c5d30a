// Windows host of the library: a worker that pins the DLL while it runs (see library_host.h).
#include "passthru/library_host.h"

#include <windows.h>

#include <atomic>

namespace passthru {
namespace {

// Set by DllMain when the process is exiting; read by the unload path on the same thread.
std::atomic<bool> g_process_exiting{false};

struct WorkerStart {
    void (*loop)();
    HMODULE pin;
};

DWORD WINAPI worker_main(LPVOID p) {
    const WorkerStart start = *static_cast<WorkerStart *>(p);
    delete static_cast<WorkerStart *>(p);
    start.loop();
    // Drops our reference and ends the thread without returning into the (maybe unloaded) DLL.
    FreeLibraryAndExitThread(start.pin, 0);
}

}  // namespace

bool start_worker_thread(void (*loop)()) {
    HMODULE pin = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&worker_main), &pin))
        return false;
    auto *start = new (std::nothrow) WorkerStart{loop, pin};
    HANDLE thread = start ? CreateThread(nullptr, 0, worker_main, start, 0, nullptr) : nullptr;
    if (!thread) {
        delete start;
        FreeLibrary(pin);
        return false;
    }
    CloseHandle(thread);
    return true;
}

// A running worker keeps the DLL loaded, so when the unload path runs there is none.
void join_worker_thread() {}

bool unload_may_clean_up() { return !g_process_exiting.load(std::memory_order_relaxed); }

}  // namespace passthru

// Runs before the DLL's static destructors (the C runtime calls it first on detach).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        passthru::g_process_exiting.store(true, std::memory_order_relaxed);
    return TRUE;
}
