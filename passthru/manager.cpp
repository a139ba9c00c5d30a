#include "passthru/manager.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/backend.h"
#include "passthru/faults.h"
#include "passthru/library_host.h"
#include "platform/platform.h"

namespace passthru {
namespace {

using PostRoutine = void(ASPI_CDECL *)(SRB_ExecSCSICmd *);

constexpr std::size_t kMaxAdapters = 255;
constexpr std::size_t kSenseAreaBytes = sizeof(SRB_ExecSCSICmd::SenseArea);
constexpr std::uint8_t kKnownFlags =
    SRB_POSTING | SRB_ENABLE_RESIDUAL_COUNT | SRB_DIR_IN | SRB_DIR_OUT | SRB_EVENT_NOTIFY;
constexpr std::uint8_t kOpInquiry = 0x12;

struct Adapter {
    const Backend *backend;
    int local;  // the back end's own adapter number
    AdapterIdentity identity;
};

// One accepted SC_EXEC_SCSI_CMD. What the caller gave is copied at submit; the caller's block is
// written only under g_mutex, and only while the job is neither completed nor given up.
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
    bool given_up = false;  // guarded by g_mutex
};

// ---- State of one loaded instance of the library ----
std::once_flag g_open_once;
std::vector<Adapter> g_adapters;  // fixed inside g_open_once, read-only afterwards
bool g_opened = false;            // likewise
bool g_answer_at_once = false;    // likewise: CDDAPLAY_FAULTS "immediate"
int g_inquiry_target_status = -1; // likewise: CDDAPLAY_FAULTS "inquiry_targstat"

std::mutex g_mutex;  // guards the four below and every write into a pending caller's block
std::deque<std::unique_ptr<Job>> g_queue;
Job *g_current = nullptr;    // the job the worker executes now; owned by the worker
bool g_worker_running = false;
bool g_stopping = false;

std::mutex g_immediate_mutex;  // one command at a time when answering at once

// The back end's buffer for data coming in, reused by every command. Only whoever executes touches
// it (the worker, or the caller under g_immediate_mutex; never both in one load), from execute
// until the result is written out or dropped, before the next command executes.
std::vector<std::uint8_t> g_data_in;

void open_backends() {
    g_answer_at_once = library_faults().immediate;
    g_inquiry_target_status = library_faults().inquiry_target_status;
    const BackendList list = registered_backends();
    for (int b = 0; b < list.count; ++b) {
        const Backend *backend = list.items[b];
        backend->open();
        const int count = backend->adapter_count();
        for (int a = 0; a < count && g_adapters.size() < kMaxAdapters; ++a)
            g_adapters.push_back({backend, a, backend->adapter_identity(a)});
    }
    g_opened = true;
}

void ensure_open() { std::call_once(g_open_once, open_backends); }

// Release store: whoever acquires SRB_Status sees everything written into the block before it.
void store_status(std::uint8_t &status_field, std::uint8_t status) {
    std::atomic_ref<std::uint8_t>(status_field).store(status, std::memory_order_release);
}

template <typename Block> std::uint32_t answer(Block &block, std::uint8_t status) {
    store_status(block.SRB_Status, status);
    return status;
}

const Adapter *adapter_of(std::uint8_t ha_id) { return ha_id < g_adapters.size() ? &g_adapters[ha_id] : nullptr; }

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
    srb.HA_Count = static_cast<std::uint8_t>(g_adapters.size());
    srb.HA_SCSI_ID = adapter->identity.own_scsi_id;
    put_text(srb.HA_ManagerId, "ASPI for WIN32");
    put_text(srb.HA_Identifier, adapter->identity.name);
    std::memset(srb.HA_Unique, 0, sizeof srb.HA_Unique);
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

std::unique_ptr<Job> make_job(SRB_ExecSCSICmd &srb, const Adapter &adapter, bool cancellable) {
    auto job = std::make_unique<Job>();
    job->srb = &srb;
    job->caller_data = srb.SRB_BufLen > 0 ? srb.SRB_BufPointer : nullptr;
    job->caller_length = srb.SRB_BufLen;
    job->flags = srb.SRB_Flags;
    job->sense_wanted = srb.SRB_SenseLen;
    job->post_proc = srb.SRB_PostProc;
    job->adapter = &adapter;
    job->target = srb.SRB_Target;
    job->lun = srb.SRB_Lun;
    if (srb.SRB_Flags & SRB_DIR_OUT && job->caller_length > 0)
        job->bounce.assign(job->caller_data, job->caller_data + job->caller_length);
    ScsiCommand &c = job->command;
    std::memset(c.cdb, 0, sizeof c.cdb);
    std::memcpy(c.cdb, srb.CDBByte, srb.SRB_CDBLen);
    c.cdb_length = srb.SRB_CDBLen;
    c.direction = job->caller_length == 0         ? DataDirection::none
                  : srb.SRB_Flags & SRB_DIR_IN ? DataDirection::in
                                                  : DataDirection::out;
    c.data = job->bounce.data();  // data coming in: g_data_in, chosen when the command executes
    c.data_length = job->caller_length;
    c.cancellable = cancellable;
    return job;
}

void execute(Job &job) {
    job.outcome = ScsiOutcome{};
    if (job.command.direction == DataDirection::in) {
        // Grows once to the largest transfer; what the back end does not write is never copied out.
        if (g_data_in.size() < job.command.data_length) {
            try {
                g_data_in.resize(job.command.data_length);
            } catch (const std::bad_alloc &) {
                job.outcome.aspi_status = SS_ASPI_IS_BUSY;  // no memory now
                return;
            }
        }
        job.command.data = g_data_in.data();
    }
    job.adapter->backend->execute(job.adapter->local, job.target, job.lun, job.command, job.outcome, job.cancel);
    job.outcome.transferred = std::min(job.outcome.transferred, job.command.data_length);
    job.outcome.sense_length = std::min<std::uint8_t>(job.outcome.sense_length, kSenseBytes);
}

// Writes the outcome into the caller's block, SRB_Status last. Under g_mutex for a pending job.
void write_result(Job &job) {
    SRB_ExecSCSICmd &srb = *job.srb;
    const ScsiOutcome &o = job.outcome;
    if (job.command.direction == DataDirection::in && o.transferred > 0)
        std::memcpy(job.caller_data, job.command.data, o.transferred);
    if (job.flags & SRB_ENABLE_RESIDUAL_COUNT) srb.SRB_BufLen = job.caller_length - o.transferred;
    std::uint8_t status = o.host_status == HASTAT_OK && o.target_status == STATUS_GOOD ? SS_COMP : SS_ERR;
    if (o.aspi_status != 0) status = o.aspi_status;  // the command never reached the unit
    std::uint8_t target_status = o.target_status;
    if (status == SS_COMP && job.command.cdb[0] == kOpInquiry && g_inquiry_target_status >= 0)
        target_status = static_cast<std::uint8_t>(g_inquiry_target_status);
    srb.SRB_HaStat = o.host_status;
    srb.SRB_TargStat = target_status;
    const std::size_t sense = std::min({std::size_t{job.sense_wanted}, kSenseAreaBytes, std::size_t{o.sense_length}});
    if (sense > 0) std::memcpy(srb.SenseArea, o.sense, sense);
    store_status(srb.SRB_Status, status);
}

// Signals the event, or returns the posting routine for the caller to run once g_mutex is released.
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

// Under g_mutex: completes a pending job as aborted. Its block is not touched afterwards.
Posting complete_aborted(Job &job) {
    job.given_up = true;
    job.cancel.cancel();
    store_status(job.srb->SRB_Status, SS_ABORTED);
    return {notify(job), job.srb};
}

bool is_pending(const SRB_ExecSCSICmd *srb) {
    if (g_current && g_current->srb == srb && !g_current->given_up) return true;
    return std::any_of(g_queue.begin(), g_queue.end(), [srb](const auto &job) { return job->srb == srb; });
}

void worker_loop() {
    std::unique_lock lock(g_mutex);
    while (!g_queue.empty() && !g_stopping) {
        std::unique_ptr<Job> job = std::move(g_queue.front());
        g_queue.pop_front();
        g_current = job.get();
        lock.unlock();
        execute(*job);
        lock.lock();
        g_current = nullptr;
        if (job->given_up) continue;  // aborted meanwhile: what the back end produced is dropped
        write_result(*job);
        const Posting posting{notify(*job), job->srb};
        if (posting.routine) {
            lock.unlock();
            posting.run();
            lock.lock();
        }
    }
    g_worker_running = false;
}

std::uint32_t run_at_once(Job &job) {
    std::lock_guard lock(g_immediate_mutex);
    execute(job);
    write_result(job);
    return job.srb->SRB_Status;
}

std::uint32_t submit(SRB_ExecSCSICmd &srb) {
    const Adapter *adapter = adapter_of(srb.SRB_HaId);
    if (!adapter) return answer(srb, SS_INVALID_HA);
    if (!unit_present(*adapter, srb.SRB_Target, srb.SRB_Lun)) return answer(srb, SS_NO_DEVICE);
    if (const std::uint8_t bad = check_block(srb, *adapter)) return answer(srb, bad);

    std::unique_lock lock(g_mutex);
    // A block still pending is the library's until it completes: not even its status is written.
    if (is_pending(&srb)) return SS_INVALID_SRB;
    if (g_stopping) return answer(srb, SS_ASPI_IS_SHUTDOWN);
    std::unique_ptr<Job> job;
    try {
        job = make_job(srb, *adapter, !g_answer_at_once);
    } catch (const std::bad_alloc &) {
        return answer(srb, SS_INSUFFICIENT_RESOURCES);
    }
    if (g_answer_at_once) {
        lock.unlock();
        return run_at_once(*job);
    }
    store_status(srb.SRB_Status, SS_PENDING);
    g_queue.push_back(std::move(job));
    if (!g_worker_running) {
        if (!start_worker_thread(worker_loop)) {
            g_queue.pop_back();
            return answer(srb, SS_INSUFFICIENT_RESOURCES);
        }
        g_worker_running = true;
    }
    return SS_PENDING;
}

// ---- SC_ABORT_SRB ----

std::uint32_t abort_request(SRB_Abort &srb) {
    if (!adapter_of(srb.SRB_HaId)) return answer(srb, SS_INVALID_HA);
    if (!srb.SRB_ToAbort) return answer(srb, SS_INVALID_SRB);
    Posting posting{};
    std::unique_ptr<Job> dequeued;  // destroyed after the lock is released
    {
        std::lock_guard lock(g_mutex);
        auto queued = std::find_if(g_queue.begin(), g_queue.end(),
                                   [&srb](const auto &job) { return job->srb == srb.SRB_ToAbort; });
        if (queued != g_queue.end()) {
            dequeued = std::move(*queued);
            g_queue.erase(queued);
            posting = complete_aborted(*dequeued);
        } else if (g_current && g_current->srb == srb.SRB_ToAbort && !g_current->given_up) {
            posting = complete_aborted(*g_current);
        } else {
            return answer(srb, SS_ABORT_FAIL);
        }
    }
    posting.run();
    return answer(srb, SS_COMP);
}

void shutdown() {
    std::vector<Posting> postings;
    {
        std::lock_guard lock(g_mutex);
        g_stopping = true;
        if (g_current) g_current->cancel.cancel();
        for (auto &job : g_queue) postings.push_back(complete_aborted(*job));
        g_queue.clear();
    }
    for (const Posting &p : postings) p.run();
    join_worker_thread();
    if (!g_opened) return;
    const BackendList list = registered_backends();
    for (int b = 0; b < list.count; ++b) list.items[b]->close();
}

// Runs the unload path when the library's static objects are destroyed; declared after all the
// state above, so it runs while that state is still alive. (The other files of the library keep no
// state with destructors that the unload path needs.)
struct UnloadHook {
    ~UnloadHook() { on_library_unload(); }
} g_unload_hook;

}  // namespace

std::uint32_t get_support_info() {
    ensure_open();
    if (g_adapters.empty()) return std::uint32_t{SS_NO_ADAPTERS} << 8;
    return (std::uint32_t{SS_COMP} << 8) | static_cast<std::uint32_t>(g_adapters.size());
}

std::uint32_t send_command(void *block) {
    if (!block) return SS_INVALID_SRB;
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
    if (unload_may_clean_up()) shutdown();
}

}  // namespace passthru
