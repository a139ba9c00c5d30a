// POSIX host of the library: a std::thread worker, joined on unload once it has left its loop.
#include "passthru/library_host.h"

#include <dlfcn.h>

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace passthru {
namespace {

// One worker. Allocated, never a static object: a worker left behind keeps using `left` and
// `mutex` after the unload, so it is then deliberately never freed.
struct Worker {
    std::mutex mutex;
    std::condition_variable returned;
    bool left = false;  // the loop has returned; guarded by mutex
    std::thread thread;
};

Worker *g_worker = nullptr;  // created under the manager's lock; ended by the unload path
std::atomic<bool> g_pinned{false};

// Set once exit() has begun, by a handler that belongs to no library, so that it survives an unload
// and runs before any library's destructors at exit: its code is libc's putenv, its argument a
// setting never freed, and it is registered for an owner no unload names (that setting; not null,
// which some runtimes take for atexit() and then call without the argument). One per load, each
// with a name of its own, so none replaces another. Registered with the first worker; read by the
// unload path.
constexpr char kExitMark[] = "CDDAPLAY_WNASPI32_EXITING_";
char *g_exit_setting = nullptr;  // "<mark><address>=1"; under the manager's lock

void watch_for_exit() {
    if (g_exit_setting) return;
    constexpr std::size_t kSize = sizeof kExitMark + 2 * sizeof(void *) + 3;
    char *setting = new (std::nothrow) char[kSize];
    if (!setting) return;
    std::snprintf(setting, kSize, "%s%zx=1", kExitMark, reinterpret_cast<std::size_t>(setting));
    // putenv through a handler's type: its argument and unused result fit the calling convention.
    auto *handler = reinterpret_cast<void (*)(void *)>(reinterpret_cast<void (*)()>(&putenv));
    if (abi::__cxa_atexit(handler, setting, setting) == 0) g_exit_setting = setting;
    else delete[] setting;
}

bool exit_begun() {
    if (!g_exit_setting) return false;
    const std::string name(g_exit_setting, std::strchr(g_exit_setting, '='));
    return std::getenv(name.c_str()) != nullptr;
}

void run(Worker *worker, void (*loop)()) {
    loop();
    std::lock_guard lock(worker->mutex);
    worker->left = true;
    worker->returned.notify_all();  // under the lock: the waiter may free the Worker right after
}

}  // namespace

bool start_worker_thread(void (*loop)()) {
    watch_for_exit();
    auto *worker = new (std::nothrow) Worker;
    if (!worker) return false;
    try {
        worker->thread = std::thread(run, worker, loop);
    } catch (const std::system_error &) {
        delete worker;
        return false;
    }
    g_worker = worker;
    return true;
}

bool end_worker_thread(std::chrono::milliseconds limit) {
    Worker *worker = g_worker;
    if (!worker) return true;
    bool left;
    {
        std::unique_lock lock(worker->mutex);
        left = worker->returned.wait_for(lock, limit, [worker] { return worker->left; });
        // A dlclose unmaps this code as soon as the destructors have run, whatever they do (the
        // loader has decided before it runs them, so a pin comes too late): unless the code is
        // pinned already, or the process is exiting (nothing is unmapped then), the worker is
        // waited for until it returns, however long its command stays in the system.
        if (!left && !g_pinned.load() && !exit_begun()) {
            worker->returned.wait(lock, [worker] { return worker->left; });
            left = true;
        }
    }
    g_worker = nullptr;
    if (!left) {
        worker->thread.detach();  // left behind, with its Worker
        return false;
    }
    worker->thread.join();
    delete worker;
    return true;
}

void pin_library() {
    if (g_pinned.exchange(true)) return;
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&pin_library), &info) && info.dli_fname)
        (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);  // never closed
}

bool unload_may_clean_up() { return true; }

}  // namespace passthru
