// Windows host of the library: a worker that parks once it has left its loop, so that the unload
// (inside DllMain, under the loader lock) can end it without waiting for the loader lock itself.
#include "passthru/library_host.h"

#include <windows.h>

#include <atomic>
#include <new>
#include <utility>

namespace passthru {
namespace {

// Set by DllMain when the process is exiting; read by the unload path on the same thread.
std::atomic<bool> g_process_exiting{false};

struct Worker {
    void (*loop)();
    HANDLE thread;
    HANDLE left;  // manual-reset event: the loop has returned
};

Worker *g_worker = nullptr;  // created under the manager's lock; ended by the unload path
std::atomic<bool> g_pinned{false};

DWORD WINAPI worker_main(LPVOID p) {
    auto *worker = static_cast<Worker *>(p);
    worker->loop();
    SetEvent(worker->left);
    // Parked, holding no lock, until the unload terminates the thread. Returning, or ExitThread,
    // would need the loader lock that the unload holds.
    for (;;) Sleep(INFINITE);
}

}  // namespace

bool start_worker_thread(void (*loop)()) {
    auto *worker = new (std::nothrow) Worker{loop, nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    if (!worker || !worker->left) {
        if (worker) delete worker;
        return false;
    }
    worker->thread = CreateThread(nullptr, 0, worker_main, worker, 0, nullptr);
    if (!worker->thread) {
        CloseHandle(worker->left);
        delete worker;
        return false;
    }
    g_worker = worker;
    return true;
}

bool end_worker_thread(std::chrono::milliseconds limit) {
    Worker *worker = std::exchange(g_worker, nullptr);
    if (!worker) return true;
    if (WaitForSingleObject(worker->left, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
        return false;  // left behind, with its Worker and handles
    // Parked and holding nothing: terminating it is safe, and a terminated thread ends without
    // the loader lock. Its code must not be unmapped before it is gone.
    TerminateThread(worker->thread, 0);
    if (WaitForSingleObject(worker->thread, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return false;
    CloseHandle(worker->thread);
    CloseHandle(worker->left);
    delete worker;
    return true;
}

void pin_library() {
    if (g_pinned.exchange(true)) return;
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&worker_main), &self);
}

bool unload_may_clean_up() { return !g_process_exiting.load(std::memory_order_relaxed); }

}  // namespace passthru

// Runs before the DLL's static destructors (the C runtime calls it first on detach).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        passthru::g_process_exiting.store(true, std::memory_order_relaxed);
    return TRUE;
}
