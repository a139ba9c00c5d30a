// POSIX back end of the OS layer: dlopen, eventfd, pthreads, nanosleep.
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <mutex>
#include <new>

namespace platform {
namespace {

int fd_of(EventHandle event) { return static_cast<int>(reinterpret_cast<std::intptr_t>(event)); }
EventHandle event_of(int fd) { return reinterpret_cast<EventHandle>(static_cast<std::intptr_t>(fd)); }

// Descriptor 0 would read as a null handle; move it out of the way (only when stdin was closed).
int away_from_zero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

struct ThreadStart {
    ThreadRoutine routine;
    void *arg;
    std::atomic<bool> taken;  // a start in flight owns the record
};

// Records handing a routine to its new thread. From static storage, so a new thread frees nothing:
// a thread that never allocates never sets up (and at its end tears down) a malloc cache, which
// costs more than the work of a short-lived fetch worker's bookkeeping. Heap records only when
// every one is in flight.
ThreadStart g_thread_starts[8];

ThreadStart *claim_start() {
    for (ThreadStart &start : g_thread_starts) {
        bool free_record = false;
        if (start.taken.compare_exchange_strong(free_record, true, std::memory_order_acquire)) return &start;
    }
    return nullptr;
}

bool is_static_start(const ThreadStart *start) {
    return start >= std::begin(g_thread_starts) && start < std::end(g_thread_starts);
}

void release_start(ThreadStart *start) {
    if (is_static_start(start)) start->taken.store(false, std::memory_order_release);
    else delete start;
}

void *thread_trampoline(void *p) {
    auto *record = static_cast<ThreadStart *>(p);
    const ThreadRoutine routine = record->routine;
    void *const arg = record->arg;
    release_start(record);
    routine(arg);
    return nullptr;
}

}  // namespace

// Held across every dlopen and dlclose of ours. The loader serialises them with a lock of its own,
// which the thread sanitizer does not see: a library unloaded on one thread and loaded again on
// another (the pass-through library, bound and released by main and by the playback driver) would
// have its static objects' destruction and re-initialisation reported as a race.
namespace {
std::mutex g_loader_lock;
}  // namespace

// The program's RUNPATH ($ORIGIN) finds the library beside it. When dlopen is called through an
// interposer (ThreadSanitizer's, for one) the RUNPATH consulted is the interposer's, so the
// program's folder is also tried by hand, after everything the loader itself searches.
LibraryHandle load_library(const char *name) {
    std::lock_guard<std::mutex> guard(g_loader_lock);
    if (LibraryHandle library = dlopen(name, RTLD_NOW | RTLD_LOCAL)) return library;
    if (std::strchr(name, '/')) return nullptr;
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return nullptr;
    path[n] = '\0';
    char *slash = std::strrchr(path, '/');
    if (!slash || static_cast<std::size_t>(slash + 1 - path) + std::strlen(name) >= sizeof path) return nullptr;
    std::strcpy(slash + 1, name);
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
void *find_entry(LibraryHandle library, const char *name) { return dlsym(library, name); }
void free_library(LibraryHandle library) {
    std::lock_guard<std::mutex> guard(g_loader_lock);
    if (library) dlclose(library);
}
const char *aspi_library_name() { return "libwnaspi32.so"; }

EventHandle create_event() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    fd = away_from_zero(fd);
    return fd < 0 ? nullptr : event_of(fd);
}

void close_event(EventHandle event) {
    if (event) close(fd_of(event));
}

void signal_event(EventHandle event) {
    const std::uint64_t one = 1;
    ssize_t n;
    do n = write(fd_of(event), &one, sizeof one);
    while (n < 0 && errno == EINTR);
}

void reset_event(EventHandle event) {
    pollfd p{fd_of(event), POLLIN, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
        std::uint64_t value;
        (void)!read(fd_of(event), &value, sizeof value);
    }
}

WaitResult wait_event(EventHandle event, std::chrono::milliseconds timeout) {
    pollfd p{fd_of(event), POLLIN, 0};
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long end_ms = deadline.tv_sec * 1000LL + deadline.tv_nsec / 1000000 + timeout.count();
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left = end_ms - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
        if (left < 0) left = 0;
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return WaitResult::failed;
        if (r == 0) return WaitResult::timed_out;
        std::uint64_t value;
        if (read(fd_of(event), &value, sizeof value) == sizeof value) return WaitResult::signalled;
        if (errno != EAGAIN && errno != EINTR) return WaitResult::failed;
    }
}

bool start_thread(ThreadRoutine routine, void *arg) {
    ThreadStart *start = claim_start();
    if (!start) start = new (std::nothrow) ThreadStart{};
    if (!start) return false;
    start->routine = routine;
    start->arg = arg;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        release_start(start);
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, THREAD_STACK_BYTES);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, thread_trampoline, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) release_start(start);
    return started;
}

void end_process_now(int status) {
    keys_end();
    std::fflush(nullptr);
    _exit(status);
}

void sleep_ms(std::chrono::milliseconds duration) {
    timespec t{static_cast<time_t>(duration.count() / 1000), static_cast<long>(duration.count() % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

void write_text(std::FILE *stream, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stream); }

bool first_report_in_this_run(const std::string &key) {
    constexpr const char *kName = "CDDAPLAY_IMAGES_REPORTED";
    const char *seen = std::getenv(kName);
    const std::string keys = seen ? seen : "";
    if (("\n" + keys + "\n").find("\n" + key + "\n") != std::string::npos) return false;
    ::setenv(kName, keys.empty() ? key.c_str() : (keys + "\n" + key).c_str(), 1);
    return true;
}

}  // namespace platform
