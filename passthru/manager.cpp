#include "passthru/manager.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/backend.h"
#include "passthru/faults.h"
#include "passthru/library_host.h"
#include "passthru/scsi_opcodes.h"
#include "platform/platform.h"

namespace passthru {
namespace {

using PostRoutine = void(ASPI_CDECL *)(SRB_ExecSCSICmd *);

constexpr std::size_t kMaxAdapters = 255;
constexpr std::size_t kSenseAreaBytes = sizeof(SRB_ExecSCSICmd::SenseArea);
constexpr std::uint8_t kKnownFlags =
    SRB_POSTING | SRB_ENABLE_RESIDUAL_COUNT | SRB_DIR_IN | SRB_DIR_OUT | SRB_EVENT_NOTIFY;

struct Adapter {
    const Backend *backend;
    int local;  // the back end's own adapter number
    AdapterIdentity identity;
};

// One accepted SC_EXEC_SCSI_CMD. What the caller gave is copied at submit; the caller's block is
// written only under the library's mutex, and only while the job is neither completed nor given
// up. A pending job's data moves through the job's own buffer, so a back end still busy with a job
// that was aborted never writes into the caller's memory; a job answered at once, on the caller's
// thread, reads straight into the caller's buffer (a virtual drive's READ CD moves its audio once).
// Jobs are kept for the whole load and reused, buffer included: data coming in is zeroed before
// each command unless the back end counts exactly what it moves, so no job ever hands out bytes
// an earlier one left there.
struct Job {
    SRB_ExecSCSICmd *srb;
    std::uint8_t *caller_data;     // SRB_BufPointer as submitted
    std::uint32_t caller_length;   // SRB_BufLen as submitted
    std::uint8_t flags;
    std::uint8_t sense_wanted;
    void *post_proc;
    const Adapter *adapter;
    int target;
    int lun;
    std::vector<std::uint8_t> bounce;  // data going out: a copy of the caller's
    ScsiCommand command;
    ScsiOutcome outcome;
    CancelToken cancel;
    bool given_up = false;  // guarded by the library's mutex
    Job *next = nullptr;    // in the queue or among the spare jobs; likewise
};

// ---- State of one loaded instance of the library ----
//
// Lifetime: created on the first call, freed only by a clean unload (no call in flight, the worker
// gone). Nothing here is a static object with a destructor, so a process that ends while a thread
// is still inside the library (exit runs static destructors) never frees what that thread uses.
struct Library {
    std::once_flag open_once;
    std::atomic<bool> open_done{false};  // set (release) once open_once has run: the fast path
    std::vector<Adapter> adapters;  // fixed inside open_once, read-only afterwards
    bool opened = false;            // likewise
    bool answer_at_once = false;    // likewise: CDDAPLAY_FAULTS "immediate"
    int inquiry_target_status = -1; // likewise: CDDAPLAY_FAULTS "inquiry_targstat"

    std::mutex mutex;  // guards what follows and every write into a pending caller's block
    std::condition_variable work;  // the worker waits here for a queued job or the end
    std::condition_variable idle;  // the worker has finished a job (an abort may wait for that)
    Job *queue_head = nullptr;     // jobs in submission order, linked through Job::next
    Job *queue_tail = nullptr;
    Job *spare = nullptr;          // finished jobs, reused: no allocation per command
    std::vector<std::unique_ptr<Job>> jobs;  // every job of this load (owner)
    Job *current = nullptr;        // the job the worker executes now; owned by the worker
    std::uint64_t started_jobs = 0;
    bool worker_started = false;
    bool stopping = false;

    std::mutex immediate_mutex;  // one command at a time when answering at once
};

// Entry-point calls in flight, and "being unloaded". Trivially destructible, so they stay valid
// for a call that arrives during or after the unload. A call counts itself in, then looks at
// g_unloading; the unload raises g_unloading, then looks at the count (both sequentially
// consistent): either the call sees the unload and stays out, or the unload sees the call.
std::atomic<int> g_calls_in_flight{0};
std::atomic<bool> g_unloading{false};
// Set once, under g_library_once (release); freed by a clean unload only. Every command looks it
// up: an acquire load, where std::call_once would cost a thread-local look-up each time.
std::atomic<Library *> g_library{nullptr};
std::once_flag g_library_once;

Library &lib() {
    if (Library *l = g_library.load(std::memory_order_acquire)) return *l;
    std::call_once(g_library_once, [] { g_library.store(new Library, std::memory_order_release); });
    return *g_library.load(std::memory_order_acquire);
}

struct CallScope {
    bool admitted;
    CallScope() {
        g_calls_in_flight.fetch_add(1, std::memory_order_seq_cst);
        admitted = !g_unloading.load(std::memory_order_seq_cst);
    }
    ~CallScope() { g_calls_in_flight.fetch_sub(1, std::memory_order_seq_cst); }
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;
};

// How long an abort waits for the worker to come back from a command it gave up before it keeps
// the library's code for the rest of the process (a back end stuck in the system may return into
// it much later), and how long the unload waits for the worker before leaving it behind.
constexpr std::chrono::milliseconds kAbortReturnWait{200};
constexpr std::chrono::milliseconds kUnloadWorkerWait{2000};

void open_backends() {
    Library &l = lib();
    l.answer_at_once = library_faults().immediate;
    l.inquiry_target_status = library_faults().inquiry_target_status;
    const BackendList list = registered_backends();
    for (int b = 0; b < list.count; ++b) {
        const Backend *backend = list.items[b];
        backend->open();
        const int count = backend->adapter_count();
        for (int a = 0; a < count && l.adapters.size() < kMaxAdapters; ++a)
            l.adapters.push_back({backend, a, backend->adapter_identity(a)});
    }
    l.opened = true;
}

void ensure_open() {
    Library &l = lib();
    if (l.open_done.load(std::memory_order_acquire)) return;
    std::call_once(l.open_once, open_backends);
    l.open_done.store(true, std::memory_order_release);
}

// Release store: whoever acquires SRB_Status sees everything written into the block before it.
void store_status(std::uint8_t &status_field, std::uint8_t status) {
    std::atomic_ref<std::uint8_t>(status_field).store(status, std::memory_order_release);
}

template <typename Block> std::uint32_t answer(Block &block, std::uint8_t status) {
    store_status(block.SRB_Status, status);
    return status;
}

const Adapter *adapter_of(std::uint8_t ha_id) {
    const std::vector<Adapter> &adapters = lib().adapters;
    return ha_id < adapters.size() ? &adapters[ha_id] : nullptr;
}

bool unit_present(const Adapter &adapter, int target, int lun) {
    return target < kMaxTargets && lun < kMaxLuns &&
           adapter.backend->device_type(adapter.local, target, lun) != kNoDevice;
}

// ---- SC_HA_INQUIRY, SC_GET_DEV_TYPE ----

void put_text(std::uint8_t (&field)[16], const char *text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text, std::min(std::strlen(text), sizeof field));
}

std::uint32_t ha_inquiry(SRB_HAInquiry &srb) {
    const Adapter *adapter = adapter_of(srb.SRB_HaId);
    if (!adapter) return answer(srb, SS_INVALID_HA);
    srb.HA_Count = static_cast<std::uint8_t>(lib().adapters.size());
    srb.HA_SCSI_ID = adapter->identity.own_scsi_id;
    put_text(srb.HA_ManagerId, "ASPI for WIN32");
    put_text(srb.HA_Identifier, adapter->identity.name);
    std::memset(srb.HA_Unique, 0, sizeof srb.HA_Unique);
    srb.HA_Unique[0] = static_cast<std::uint8_t>(adapter->identity.alignment_mask);  // little-endian
    srb.HA_Unique[1] = static_cast<std::uint8_t>(adapter->identity.alignment_mask >> 8);
    srb.HA_Unique[2] = 0x02;  // residual byte count supported
    srb.HA_Unique[3] = kMaxTargets;
    const std::uint32_t max = adapter->identity.max_transfer;
    for (int i = 0; i < 4; ++i) srb.HA_Unique[4 + i] = static_cast<std::uint8_t>(max >> (8 * i));  // little-endian
    srb.HA_Rsvd1 = 0;
    return answer(srb, SS_COMP);
}

std::uint32_t get_device_type(SRB_GDEVBlock &srb) {
    const Adapter *adapter = adapter_of(srb.SRB_HaId);
    if (!adapter) return answer(srb, SS_INVALID_HA);
    if (!unit_present(*adapter, srb.SRB_Target, srb.SRB_Lun)) {
        srb.SRB_DeviceType = 0x1F;  // unknown / no device
        return answer(srb, SS_NO_DEVICE);
    }
    srb.SRB_DeviceType = static_cast<std::uint8_t>(adapter->backend->device_type(adapter->local, srb.SRB_Target, srb.SRB_Lun));
    return answer(srb, SS_COMP);
}

// ---- SC_EXEC_SCSI_CMD ----

// SS_INVALID_SRB for a block we cannot run, 0 for a sound one.
std::uint8_t check_block(const SRB_ExecSCSICmd &srb, const Adapter &adapter) {
    const std::uint8_t f = srb.SRB_Flags;
    const bool notify = (f & (SRB_POSTING | SRB_EVENT_NOTIFY)) != 0;
    const bool bad_flags = (f & ~kKnownFlags) != 0 || (f & SRB_POSTING && f & SRB_EVENT_NOTIFY) ||
                           (f & SRB_DIR_IN && f & SRB_DIR_OUT) || (notify && !srb.SRB_PostProc);
    const int cdb = srb.SRB_CDBLen;
    const bool bad_cdb = cdb != 6 && cdb != 10 && cdb != 12 && cdb != 16;
    const bool bad_data = srb.SRB_BufLen > 0 && (!srb.SRB_BufPointer || !(f & (SRB_DIR_IN | SRB_DIR_OUT)) ||
                                                 srb.SRB_BufLen > adapter.identity.max_transfer);
    return bad_flags || bad_cdb || bad_data ? SS_INVALID_SRB : 0;
}

void fill_job(Job &job, SRB_ExecSCSICmd &srb, const Adapter &adapter, bool cancellable) {
    job.srb = &srb;
    job.caller_data = srb.SRB_BufLen > 0 ? srb.SRB_BufPointer : nullptr;
    job.caller_length = srb.SRB_BufLen;
    job.flags = srb.SRB_Flags;
    job.sense_wanted = srb.SRB_SenseLen;
    job.post_proc = srb.SRB_PostProc;
    job.adapter = &adapter;
    job.target = srb.SRB_Target;
    job.lun = srb.SRB_Lun;
    job.given_up = false;
    job.next = nullptr;
    job.cancel.reset();
    // A pending job's own buffer keeps its capacity (and bytes) from earlier commands.
    const bool own_buffer = cancellable && job.caller_length > 0;
    if (own_buffer) job.bounce.resize(job.caller_length);
    if (own_buffer && srb.SRB_Flags & SRB_DIR_OUT) std::memcpy(job.bounce.data(), job.caller_data, job.caller_length);
    ScsiCommand &c = job.command;
    std::memset(c.cdb, 0, sizeof c.cdb);
    std::memcpy(c.cdb, srb.CDBByte, srb.SRB_CDBLen);
    c.cdb_length = srb.SRB_CDBLen;
    c.direction = job.caller_length == 0         ? DataDirection::none
                  : srb.SRB_Flags & SRB_DIR_IN ? DataDirection::in
                                                  : DataDirection::out;
    c.data = own_buffer ? job.bounce.data() : job.caller_data;
    c.data_length = job.caller_length;
    c.cancellable = cancellable;
}

void execute(Job &job) {
    const ScsiCommand &c = job.command;
    if (c.direction == DataDirection::in && !job.adapter->identity.exact_transfer_count)
        std::memset(c.data, 0, c.data_length);
    job.outcome = ScsiOutcome{};
    job.adapter->backend->execute(job.adapter->local, job.target, job.lun, job.command, job.outcome, job.cancel);
    job.outcome.transferred = std::min(job.outcome.transferred, job.command.data_length);
    job.outcome.sense_length = std::min<std::uint8_t>(job.outcome.sense_length, kSenseBytes);
}

// Writes the outcome into the caller's block, SRB_Status last. Under the library's mutex for a
// pending job.
void write_result(Job &job) {
    SRB_ExecSCSICmd &srb = *job.srb;
    const ScsiOutcome &o = job.outcome;
    if (job.command.direction == DataDirection::in && o.transferred > 0 && job.command.data != job.caller_data)
        std::memcpy(job.caller_data, job.command.data, o.transferred);
    if (job.flags & SRB_ENABLE_RESIDUAL_COUNT) srb.SRB_BufLen = job.caller_length - o.transferred;
    std::uint8_t status = o.host_status == HASTAT_OK && o.target_status == STATUS_GOOD ? SS_COMP : SS_ERR;
    if (o.aspi_status != 0) status = o.aspi_status;  // the command never reached the unit
    std::uint8_t target_status = o.target_status;
    const int forced_status = lib().inquiry_target_status;
    if (status == SS_COMP && job.command.cdb[0] == kOpInquiry && forced_status >= 0)
        target_status = static_cast<std::uint8_t>(forced_status);
    srb.SRB_HaStat = o.host_status;
    srb.SRB_TargStat = target_status;
    const std::size_t sense = std::min({std::size_t{job.sense_wanted}, kSenseAreaBytes, std::size_t{o.sense_length}});
    if (sense > 0) std::memcpy(srb.SenseArea, o.sense, sense);
    store_status(srb.SRB_Status, status);
}

// Signals the event, or returns the posting routine for the caller to run once the lock is released.
PostRoutine notify(const Job &job) {
    if (job.flags & SRB_EVENT_NOTIFY) platform::signal_event(job.post_proc);
    if (job.flags & SRB_POSTING) return reinterpret_cast<PostRoutine>(job.post_proc);
    return nullptr;
}

struct Posting {
    PostRoutine routine;
    SRB_ExecSCSICmd *srb;
    void run() const {
        if (routine) routine(srb);
    }
};

// Under the library's mutex: completes a pending job as aborted. Its block is not touched afterwards.
Posting complete_aborted(Job &job) {
    job.given_up = true;
    job.cancel.cancel();
    store_status(job.srb->SRB_Status, SS_ABORTED);
    return {notify(job), job.srb};
}

bool is_pending(const Library &l, const SRB_ExecSCSICmd *srb) {
    if (l.current && l.current->srb == srb && !l.current->given_up) return true;
    for (const Job *job = l.queue_head; job; job = job->next)
        if (job->srb == srb) return true;
    return false;
}

// Under the library's mutex. A spare job, or a new one when every job is in use (the pool grows to
// the most requests ever pending at once, then stays).
Job *take_job(Library &l) {
    if (Job *job = l.spare) {
        l.spare = job->next;
        return job;
    }
    l.jobs.push_back(std::make_unique<Job>());
    return l.jobs.back().get();
}

void put_back(Library &l, Job *job) {
    job->next = l.spare;
    l.spare = job;
}

void enqueue(Library &l, Job *job) {
    job->next = nullptr;
    if (l.queue_tail) l.queue_tail->next = job;
    else l.queue_head = job;
    l.queue_tail = job;
}

Job *dequeue(Library &l) {
    Job *job = l.queue_head;
    l.queue_head = job->next;
    if (!l.queue_head) l.queue_tail = nullptr;
    job->next = nullptr;
    return job;
}

// Unlinks `job` from the queue; false when it is not queued.
bool unlink(Library &l, Job *job) {
    Job *previous = nullptr;
    for (Job *j = l.queue_head; j; previous = j, j = j->next) {
        if (j != job) continue;
        (previous ? previous->next : l.queue_head) = j->next;
        if (l.queue_tail == j) l.queue_tail = previous;
        j->next = nullptr;
        return true;
    }
    return false;
}

// The worker: one thread for the whole load, asleep on `work` between commands.
void worker_loop() {
    Library &l = lib();
    std::unique_lock lock(l.mutex);
    for (;;) {
        l.work.wait(lock, [&l] { return l.stopping || l.queue_head; });
        if (l.stopping) return;
        Job *job = dequeue(l);
        l.current = job;
        ++l.started_jobs;
        lock.unlock();
        execute(*job);
        lock.lock();
        l.current = nullptr;
        if (!job->given_up) {  // aborted meanwhile: what the back end produced is dropped
            write_result(*job);
            const Posting posting{notify(*job), job->srb};
            if (posting.routine) {
                lock.unlock();
                posting.run();
                lock.lock();
            }
        }
        put_back(l, job);
        l.idle.notify_all();
    }
}

std::uint32_t run_at_once(Library &l, Job &job) {
    std::lock_guard lock(l.immediate_mutex);
    execute(job);
    write_result(job);
    const std::uint32_t status = job.srb->SRB_Status;
    std::lock_guard pool(l.mutex);
    put_back(l, &job);
    return status;
}

std::uint32_t submit(SRB_ExecSCSICmd &srb) {
    const Adapter *adapter = adapter_of(srb.SRB_HaId);
    if (!adapter) return answer(srb, SS_INVALID_HA);
    if (!unit_present(*adapter, srb.SRB_Target, srb.SRB_Lun)) return answer(srb, SS_NO_DEVICE);
    if (const std::uint8_t bad = check_block(srb, *adapter)) return answer(srb, bad);

    Library &l = lib();
    std::unique_lock lock(l.mutex);
    // A block still pending is the library's until it completes: not even its status is written.
    if (is_pending(l, &srb)) return SS_INVALID_SRB;
    if (l.stopping) return answer(srb, SS_ASPI_IS_SHUTDOWN);
    const bool at_once = l.answer_at_once || adapter->identity.answers_at_once;
    if (!at_once && !l.worker_started) {
        if (!start_worker_thread(worker_loop)) return answer(srb, SS_INSUFFICIENT_RESOURCES);
        l.worker_started = true;
    }
    Job *job = nullptr;
    try {
        job = take_job(l);
        fill_job(*job, srb, *adapter, !at_once);
    } catch (const std::bad_alloc &) {
        if (job) put_back(l, job);
        return answer(srb, SS_INSUFFICIENT_RESOURCES);
    }
    if (at_once) {
        lock.unlock();
        return run_at_once(l, *job);
    }
    store_status(srb.SRB_Status, SS_PENDING);
    enqueue(l, job);
    lock.unlock();
    l.work.notify_one();
    return SS_PENDING;
}

// ---- SC_ABORT_SRB ----

// After the running job was given up: waits a moment for the worker to come back from it. A back
// end stuck in the system (a blocking read that cannot be cancelled) may come back much later,
// possibly after the program has unloaded the library; from then on the library's code stays
// in memory for the rest of the process.
void wait_for_return_or_pin(Library &l, std::uint64_t given_up_job) {
    std::unique_lock lock(l.mutex);
    const bool back = l.idle.wait_for(lock, kAbortReturnWait, [&l, given_up_job] {
        return l.started_jobs != given_up_job || l.current == nullptr;
    });
    lock.unlock();
    if (!back) pin_library();  // never under the mutex: it may take the loader's lock
}

std::uint32_t abort_request(SRB_Abort &srb) {
    if (!adapter_of(srb.SRB_HaId)) return answer(srb, SS_INVALID_HA);
    if (!srb.SRB_ToAbort) return answer(srb, SS_INVALID_SRB);
    Library &l = lib();
    Posting posting{};
    std::uint64_t running_job = 0;  // nonzero: the running job was given up
    {
        std::lock_guard lock(l.mutex);
        Job *queued = nullptr;
        for (Job *j = l.queue_head; j && !queued; j = j->next)
            if (j->srb == srb.SRB_ToAbort) queued = j;
        if (queued) {
            unlink(l, queued);
            posting = complete_aborted(*queued);
            put_back(l, queued);
        } else if (l.current && l.current->srb == srb.SRB_ToAbort && !l.current->given_up) {
            posting = complete_aborted(*l.current);
            running_job = l.started_jobs;
        } else {
            return answer(srb, SS_ABORT_FAIL);
        }
    }
    posting.run();
    if (running_job) wait_for_return_or_pin(l, running_job);
    return answer(srb, SS_COMP);
}

// Stops the worker and closes the back ends. False when the worker did not come back in time: it
// is left behind, and everything it can reach (this library's state, the back ends) stays.
bool shutdown() {
    Library &l = lib();
    std::vector<Posting> postings;
    {
        std::lock_guard lock(l.mutex);
        l.stopping = true;
        if (l.current) l.current->cancel.cancel();
        while (l.queue_head) {
            Job *job = dequeue(l);
            postings.push_back(complete_aborted(*job));
            put_back(l, job);
        }
    }
    l.work.notify_all();
    for (const Posting &p : postings) p.run();
    if (l.worker_started && !end_worker_thread(kUnloadWorkerWait)) {
        pin_library();  // the worker may still return into this code, whoever unloads it
        return false;
    }
    if (!l.opened) return true;
    const BackendList list = registered_backends();
    for (int b = 0; b < list.count; ++b) list.items[b]->close();
    return true;
}

// Runs the unload path when the library's static objects are destroyed (dlclose, or exit).
struct UnloadHook {
    ~UnloadHook() { on_library_unload(); }
} g_unload_hook;

}  // namespace

std::uint32_t get_support_info() {
    const CallScope call;
    if (!call.admitted) return std::uint32_t{SS_FAILED_INIT} << 8;
    ensure_open();
    const std::size_t adapters = lib().adapters.size();
    if (adapters == 0) return std::uint32_t{SS_NO_ADAPTERS} << 8;
    return (std::uint32_t{SS_COMP} << 8) | static_cast<std::uint32_t>(adapters);
}

std::uint32_t send_command(void *block) {
    if (!block) return SS_INVALID_SRB;
    const CallScope call;
    if (!call.admitted) return SS_ASPI_IS_SHUTDOWN;
    ensure_open();
    auto *header = static_cast<SRB_Header *>(block);
    switch (header->SRB_Cmd) {
    case SC_HA_INQUIRY: return ha_inquiry(*static_cast<SRB_HAInquiry *>(block));
    case SC_GET_DEV_TYPE: return get_device_type(*static_cast<SRB_GDEVBlock *>(block));
    case SC_EXEC_SCSI_CMD: return submit(*static_cast<SRB_ExecSCSICmd *>(block));
    case SC_ABORT_SRB: return abort_request(*static_cast<SRB_Abort *>(block));
    default: return answer(*header, SS_INVALID_CMD);
    }
}

const char *library_info() { return "cddaplay wnaspi32 1.0 (virtual drives: image back end)"; }

void on_library_unload() {
    if (!unload_may_clean_up()) return;
    g_unloading.store(true, std::memory_order_seq_cst);
    // A call still inside the library can only mean the process is ending under a live thread
    // (exit runs this hook): everything is left as it is for that thread.
    if (g_calls_in_flight.load(std::memory_order_seq_cst) != 0 || !g_library.load()) return;
    if (!shutdown()) return;
    delete g_library.exchange(nullptr);
}

}  // namespace passthru
