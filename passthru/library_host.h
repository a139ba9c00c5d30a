#pragma once
// The part of the library's life that differs between the platforms: how its worker thread lives
// and how it learns that it is being unloaded. One file per platform (library_host_posix.cpp,
// library_host_win32.cpp).
//
// The worker runs only while there is work: the manager starts one when a request is queued and
// none is running, and the worker's loop returns as soon as the queue is empty.
//   POSIX:   a std::thread; the unload path (a static destructor, run by dlclose or exit) joins it.
//   Windows: joining a thread while the loader lock is held (DllMain, static destructors of a DLL)
//            deadlocks, so a worker holds a reference to the library while it runs and leaves
//            through FreeLibraryAndExitThread: the library cannot be unloaded under a running
//            worker, and the unload path never has one to join. The price: a worker that is still
//            on its way out when the program calls FreeLibrary unloads the DLL itself a moment
//            later, and a LoadLibrary in that moment gets the same instance (configuration and
//            fault counters carry on).

namespace passthru {

// Starts a worker thread running `loop`. Called with the manager's lock held, only when no worker
// is inside the loop (an earlier one may still be on its way out). False when no thread could start.
bool start_worker_thread(void (*loop)());

// Waits for the last worker started to end. Called by the unload path, without the manager's lock,
// after the loop has been told to stop.
void join_worker_thread();

// False while the process is being torn down with its other threads already gone (Windows process
// exit): the unload path must then neither lock nor wait for anything.
bool unload_may_clean_up();

}  // namespace passthru
