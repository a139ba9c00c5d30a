#pragma once
// The ASPI manager behind our pass-through library's entry points.
//
// Adapters: every back end of registered_backends() contributes its adapters in list order (the
// image back end's first), numbered 0.. across all of them (at most 255). Back ends are opened,
// and CDDAPLAY_FAULTS read, on the first call into the library after it was loaded.
//
// SC_HA_INQUIRY, SC_GET_DEV_TYPE and SC_ABORT_SRB are answered at once. SC_EXEC_SCSI_CMD is checked
// at once: a bad adapter SS_INVALID_HA, no unit at target/LUN SS_NO_DEVICE, a malformed block
// (unknown or contradictory flags, no event or posting routine to notify, CDB length not 6/10/12/16,
// data without a buffer or direction, more data than the adapter transfers) SS_INVALID_SRB; a
// rejected block gets the same status in SRB_Status and is never signalled. A block that is still
// pending is never accepted again (SS_INVALID_SRB, the block left untouched).
// An accepted request returns SS_PENDING and runs on the library's worker thread. The back end
// reads into a buffer of the library's own; on completion the library copies the data in, stores
// SRB_HaStat, SRB_TargStat, the sense data (min(SRB_SenseLen, 16, what the unit returned) bytes),
// SRB_BufLen's residual when SRB_ENABLE_RESIDUAL_COUNT was set, then SRB_Status LAST with a release
// store (std::atomic_ref), then signals the event in SRB_PostProc (SRB_EVENT_NOTIFY) or calls the
// posting routine (SRB_POSTING, on the worker thread). A pending request is completed exactly once.
// SRB_Status: SS_COMP when the unit answered GOOD and the transport was fine (a short transfer
// included), SS_ERR otherwise; or the status the back end gives when the command never reached the
// unit (ScsiOutcome::aspi_status: SS_NO_DEVICE, SS_INVALID_SRB, SS_BUFFER_TO_BIG, SS_ASPI_IS_BUSY).
//
// SC_ABORT_SRB naming a pending request completes it with SS_ABORTED, signalled (or posted) before
// the abort returns SS_COMP; from then on the library never touches that block, its buffer or its
// event: whatever the back end still produces for it is dropped. Naming a request the library does
// not hold (finished already, or never sent): SS_ABORT_FAIL, and the named block is not touched.
//
// A running request that is aborted: the abort also waits up to 200 ms for the back end to come
// back from it; when it does not (stuck in the system), the library's code stays loaded for the
// rest of the process, so that the back end can return into it whenever it does.
//
// Unload: the host calls on_library_unload(); queued requests complete with SS_ABORTED, the running
// one is cancelled, the worker is waited for at most 2 s and the back ends are closed. A worker
// that does not come back is left behind, the library's code stays loaded for the rest of the
// process and nothing the worker can reach is freed (POSIX: see library_host.h). A call still inside
// an entry point at unload (only possible when the process ends under a live thread, as exit runs
// the unload) leaves everything as it is; calls arriving after the unload began answer
// SS_ASPI_IS_SHUTDOWN (GetASPI32SupportInfo: SS_FAILED_INIT) without touching anything.
//
// Threads: the entry points may be called from any thread, concurrently. One worker thread per
// load runs the accepted requests, asleep between them; no thread and, once the pool of jobs has
// grown to what is pending at once, no allocation per command. One lock guards the queue and every
// write into a pending caller's block; it is never held across a back end's execute.

#include <cstdint>

namespace passthru {

std::uint32_t get_support_info();
std::uint32_t send_command(void *srb);
const char *library_info();

// The library is being unloaded (dlclose / FreeLibrary, or exit): stop the worker and close
// everything, as far as nothing in flight can still reach it.
void on_library_unload();

}  // namespace passthru
