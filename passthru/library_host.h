#pragma once
// The part of the library's life that differs between the platforms: how its worker thread lives
// and ends, and how it learns that it is being unloaded. One file per platform
// (library_host_posix.cpp, library_host_win32.cpp).
//
// One worker per load: the manager starts it with the first queued command and it runs `loop`
// (asleep between commands) until the unload tells the loop to return. The unload waits for it a
// bounded time; a worker that does not come back (stuck in the system) is left behind, the library
// is pinned, and the manager then frees nothing it could reach.
//   POSIX:   a std::thread, joined once it has left the loop, detached when left behind. A dlclose
//            unmaps the code whatever its destructors do, so there the worker is left behind only
//            at process exit or when the library is pinned already; otherwise the unload waits
//            for it as long as it takes.
//   Windows: the unload runs inside DllMain with the loader lock held, where a thread cannot end
//            (ending takes that lock), so it cannot be joined. Once the worker has left the loop
//            it parks, holding no lock, and the unload terminates the parked thread and waits for
//            it to be gone before the DLL's code is unmapped.

#include <chrono>

namespace passthru {

// Starts the worker thread running `loop`. Called once per load, with the manager's lock held.
// Takes no loader lock (the unload path takes the two the other way round). False when no thread
// could start.
bool start_worker_thread(void (*loop)());

// After `loop` has been told to return: waits at most `limit` for it to return (see above for
// POSIX), then lets the thread go. True when it has; false when it is still inside the loop and
// was left behind.
// Called by the unload path without the manager's lock.
bool end_worker_thread(std::chrono::milliseconds limit);

// Keeps the library's code in memory for the rest of the process: a worker stuck in the system
// may return into it after the program has unloaded the library. Called after an abort that the
// worker did not come back from, and by an unload that leaves the worker behind (effective there
// on Windows, where the DLL is unmapped only after DllMain). Once per process is enough; later
// loads then get the same instance. Never called with the manager's lock held.
void pin_library();

// False while the process is being torn down with its other threads already gone (Windows process
// exit): the unload path must then neither lock nor wait for anything.
bool unload_may_clean_up();

}  // namespace passthru
