// POSIX host of the library: a std::thread worker, joined on unload.
#include "passthru/library_host.h"

#include <system_error>
#include <thread>

namespace passthru {
namespace {
// Started under the manager's lock; joined there (a finished one) or by the unload path.
std::thread g_worker;
}  // namespace

bool start_worker_thread(void (*loop)()) {
    if (g_worker.joinable()) g_worker.join();  // it has left the loop; only its return is left
    try {
        g_worker = std::thread(loop);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void join_worker_thread() {
    if (g_worker.joinable()) g_worker.join();
}

bool unload_may_clean_up() { return true; }

}  // namespace passthru
