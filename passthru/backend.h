#pragma once
// The seam between our ASPI manager (passthru/manager.cpp) and its host-adapter back ends.
//
// A back end contributes host adapters, knows which targets/LUNs answer on them, and executes one
// SCSI command at a time. It knows nothing of request blocks (SRBs), events, posting routines or
// aborts: the manager numbers the adapters across back ends (the image back end's first), checks
// every request block, runs commands on its own worker thread and copies results out to the caller.
//
// Threads:
//   open / close                  the manager's set-up and tear-down (first entry call; unload),
//                                 never concurrent with anything else of the same back end.
//   adapter_count, adapter_identity, device_type
//                                 any caller thread, concurrently: they read state fixed by open.
//   execute                       the manager's worker thread, one command at a time; or, for a
//                                 command answered at once (an adapter that answers_at_once, or
//                                 the library told to), the calling thread, still one command at
//                                 a time, and then `cancellable` is false.
//
// Memory: `ScsiCommand::data`, valid for the duration of execute, is the manager's own buffer for a
// command run on the worker (never the caller's: after an abort the manager drops whatever the back
// end produced, so a back end that cannot stop a command early just finishes into it), and the
// caller's own buffer for a command answered at once. The back end writes at most `data_length`
// bytes into it and reports in `transferred` how many it moved. Data coming in starts as zeros
// unless the adapter counts its transfers exactly (AdapterIdentity::exact_transfer_count): a back
// end that cannot tell a short transfer from a whole one may then report it whole, and what never
// arrived reads as zeros, never as an earlier command's data.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace passthru {

inline constexpr int kNoDevice = -1;       // device_type of a target/LUN where nothing answers
inline constexpr int kMaxTargets = 16;     // targets 0..15 are addressable on every adapter
inline constexpr int kMaxLuns = 8;         // LUNs 0..7
inline constexpr int kSenseBytes = 18;     // fixed-format sense data, as a drive returns it

struct AdapterIdentity {
    char name[17];               // HA_Identifier: up to 16 ASCII characters, NUL-terminated here
    std::uint8_t own_scsi_id;    // HA_SCSI_ID: an id no unit on this adapter uses (classically 7)
    std::uint32_t max_transfer;  // largest data transfer of one command, in bytes
    // HA_Unique's buffer alignment mask: the alignment the adapter's own transfers want. Only a
    // hint to callers; a back end copies a buffer that misses it (0: any byte address).
    std::uint16_t alignment_mask = 0;
    // The adapter's commands finish without waiting on anything slow (a virtual drive reading
    // files): the library runs them on the caller's thread and answers at once, never pending,
    // which spares every command two thread switches.
    bool answers_at_once = false;
    // `transferred` is always exactly what the back end wrote (a virtual drive knows). False where
    // the system may count a short transfer as whole (SG_IO on a host adapter that reports no
    // residual gives resid 0): the manager then zeroes data coming in before each command.
    bool exact_transfer_count = false;
};

enum class DataDirection : std::uint8_t { none, in, out };

// One command as the back end sees it.
struct ScsiCommand {
    std::uint8_t cdb[16];        // the command descriptor block; bytes past cdb_length are 0
    std::uint8_t cdb_length;     // 6, 10, 12 or 16
    DataDirection direction;
    std::uint8_t *data;          // the manager's buffer: data_length bytes (out: filled by the caller)
    std::uint32_t data_length;   // 0 when there is no data phase
    bool cancellable;            // false: nothing can cancel this command, so it must end by itself
};

// What became of it. Start from ScsiOutcome{} (GOOD, nothing transferred).
struct ScsiOutcome {
    std::uint8_t host_status = 0;     // HASTAT_* (0 = HASTAT_OK): the transport's verdict
    std::uint8_t target_status = 0;   // the unshifted SCSI status byte (0 GOOD, 0x02 CHECK CONDITION)
    std::uint32_t transferred = 0;    // bytes actually moved, <= data_length (short is fine)
    std::uint8_t sense[kSenseBytes] = {};  // fixed-format sense data (with CHECK CONDITION)
    std::uint8_t sense_length = 0;    // valid bytes in sense
    // 0: SRB_Status follows from host_status and target_status (SS_COMP or SS_ERR). Otherwise the
    // SRB_Status to complete with when the command never reached the unit: SS_NO_DEVICE (the unit
    // is gone), SS_INVALID_SRB (the system refused the command), SS_BUFFER_TO_BIG (more data than
    // the unit's queue takes), SS_ASPI_IS_BUSY (no resources now); the other fields then stay 0.
    std::uint8_t aspi_status = 0;
};

// Lets a back end end a long command early when the manager gives it up (abort, library unload).
// The manager cancels; the back end polls cancelled() or sleeps with wait_for(). Honouring it is
// optional (a blocking ioctl cannot be interrupted); the result of a cancelled command is dropped.
class CancelToken {
public:
    // Acquire load: pairs with the release store in cancel().
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // Sleeps for `duration` unless cancelled first. Returns true when the command was cancelled.
    bool wait_for(std::chrono::milliseconds duration) const {
        std::unique_lock lock(mutex_);
        return wake_.wait_for(lock, duration, [this] { return cancelled(); });
    }
    // Sleeps until cancelled.
    void wait_until_cancelled() const {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return cancelled(); });
    }

    // Manager only, before the token's command is handed to a back end again (nobody waits on it).
    void reset() { cancelled_.store(false, std::memory_order_relaxed); }

    // Manager only, from any thread.
    void cancel() {
        {
            std::lock_guard lock(mutex_);
            cancelled_.store(true, std::memory_order_release);
        }
        wake_.notify_all();
    }

private:
    std::atomic<bool> cancelled_{false};  // written by the manager, read by the back end
    mutable std::mutex mutex_;            // only pairs the sleep with cancel(); guards no data
    mutable std::condition_variable wake_;
};

// A back end: a static table of plain functions. Adapters, targets and LUNs are the back end's own
// numbers (adapter 0 .. adapter_count()-1), not the manager's global adapter numbers.
struct Backend {
    const char *name;  // "image", "sg", "spti"

    // Reads the back end's configuration (its environment variables) and finds its adapters.
    // Problems are reported once on standard error, never standard output; a back end that finds
    // nothing simply has 0 adapters.
    void (*open)();
    // Releases everything open acquired. No command is running when it is called.
    void (*close)();

    int (*adapter_count)();
    AdapterIdentity (*adapter_identity)(int adapter);
    // Peripheral device type (5 = CD-ROM) of the unit at target/LUN, or kNoDevice. Commands are
    // only ever executed on units for which this is not kNoDevice.
    int (*device_type)(int adapter, int target, int lun);

    // Executes one command, blocking, and fills `outcome`. Never throws; never writes past
    // command.data + command.data_length.
    void (*execute)(int adapter, int target, int lun, const ScsiCommand &command, ScsiOutcome &outcome,
                    const CancelToken &cancel);
};

// Fills `outcome` as a CHECK CONDITION with fixed-format sense key/ASC/ASCQ: a helper for back ends
// that answer commands themselves.
inline void set_check_condition(ScsiOutcome &outcome, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    outcome.target_status = 0x02;
    outcome.transferred = 0;
    for (auto &b : outcome.sense) b = 0;
    outcome.sense[0] = 0x70;  // current error, fixed format
    outcome.sense[2] = key;
    outcome.sense[7] = kSenseBytes - 8;  // additional sense length
    outcome.sense[12] = asc;
    outcome.sense[13] = ascq;
    outcome.sense_length = kSenseBytes;
}

// The back ends this build carries, in adapter order (the image back end first). One list per
// platform (backends_posix.cpp, backends_win32.cpp); a new back end adds itself there.
struct BackendList {
    const Backend *const *items;
    int count;
};
BackendList registered_backends();

// A back end's first global adapter number: the adapters of the back ends before it, already open.
inline int first_adapter_number(const Backend &self) {
    const BackendList list = registered_backends();
    int first = 0;
    for (int i = 0; i < list.count && list.items[i] != &self; ++i) first += list.items[i]->adapter_count();
    return first;
}

// CDDAPLAY_DESCRIBE=1: the real-drive back ends list their units on standard error.
inline bool describe_wanted() {
    const char *value = std::getenv("CDDAPLAY_DESCRIBE");
    return value && std::strcmp(value, "1") == 0;
}

}  // namespace passthru
