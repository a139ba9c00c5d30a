// POSIX host of the library: a std::thread worker, joined on unload once it has left its loop.
#include "passthru/library_host.h"

#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
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

void run(Worker *worker, void (*loop)()) {
    loop();
    std::lock_guard lock(worker->mutex);
    worker->left = true;
    worker->returned.notify_all();  // under the lock: the waiter may free the Worker right after
}

}  // namespace

bool start_worker_thread(void (*loop)()) {
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
