// POSIX host of the library: a std::thread worker, joined on unload.
#include "passthru/library_host.h"

#include <new>
#include <system_error>
#include <thread>

namespace passthru {
namespace {
// Created under the manager's lock; joined there (a finished one) or by the unload path. A plain
// pointer, so that no destructor of this file runs before the manager's unload path has joined it.
std::thread *g_worker = nullptr;
}  // namespace

bool start_worker_thread(void (*loop)()) {
    join_worker_thread();  // a previous worker has left the loop; only its return is left
    try {
        g_worker = new std::thread(loop);
    } catch (const std::system_error &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void join_worker_thread() {
    if (!g_worker) return;
    g_worker->join();
    delete g_worker;
    g_worker = nullptr;
}

bool unload_may_clean_up() { return true; }

}  // namespace passthru
