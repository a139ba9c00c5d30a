#pragma once
// Binding the pass-through library, and the one call that sends a SCSI command and judges its end.
//
// Each user of the library owns one AspiBinding in static storage, binds it for its phase and
// releases it afterwards: five in all, those of discovery, the table of contents reader, the
// listing's unit probe, the CD-Text reader and the sector reader. A binding is used by one thread
// at a time, but two bindings may be in use at once (CD-Text is read while playback reads sectors):
// the library takes commands from any thread. The sector reader's is bound on the playback
// driver's thread before any fetch worker starts and only read while bound.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "aspi/aspi32.h"
#include "platform/platform.h"

struct AspiInFlight;  // defined by the exchange (binding.cpp)

struct AspiBinding {
    platform::LibraryHandle library;                 // null when nothing is loaded
    GetASPI32SupportInfoFn lpGetASPI32SupportInfo;   // valid while bound
    SendASPI32CommandFn lpSendASPI32Command;         // valid while bound
    AspiInFlight *exchange;  // aspi_send's request, buffer and event, reused; freed by release_aspi
    // Whether the adapter last asked about reports residual byte counts (SC_HA_INQUIRY): -1 none
    // asked yet; reset by release_aspi.
    int residual_adapter;
    bool residual_reported;
};

// The longest wait for one request to complete.
inline constexpr std::chrono::milliseconds ASPI_TIMEOUT_MS{10000};

// Loads the library by name and looks up both entry points (both are required).
// Returns 1 when bound; 0 after printing one of "fail to load the wnaspi32.dll\n",
// "fail to get the process lpGetASPI32SupportInfo\n" (also when both are missing) or
// "fail to get the process lpSendASPI32Command\n", with nothing left loaded.
int bind_aspi(AspiBinding *binding);

// Unloads the library if the binding holds one; the binding is empty afterwards.
void release_aspi(AspiBinding *binding);

// Where a command goes: only these 8 bits of each number reach the request block.
struct AspiUnit {
    std::uint8_t ha_id;
    std::uint8_t target;
    std::uint8_t lun;
};

// One SCSI command: its CDB and its data buffer, for data coming in (the program sends none out).
struct AspiCommand {
    std::uint8_t cdb[16];         // bytes past cdb_length are 0
    std::uint8_t cdb_length;      // 6, 10 or 12
    std::uint8_t *data;           // the caller's, at least data_length bytes; null: no data phase
    std::uint32_t data_length;
    std::uint8_t sense_length;    // sense bytes asked for (SRB_SenseLen)
    std::chrono::milliseconds timeout;  // the longest wait for the completion
    // The library writes straight into `data` (no copy in between), for the sector reader's chunk
    // buffers; otherwise it writes into the binding's own buffer and the exchange copies it over.
    bool direct;
};

// How a command ended: the one judgement of an SRB_ExecSCSICmd's completion.
enum class AspiEnd : std::uint8_t {
    done,       // completed SS_COMP (whatever the target status: a caller that cares reads it)
    refused,    // completed SS_ERR with the transport fine (HASTAT_OK) and CHECK CONDITION: the
                // unit turned this command down; the sense says why
    failed,     // completed with any other status: aborted, no such unit, a transport failure;
                // or not sent for want of memory (SS_INSUFFICIENT_RESOURCES)
    timed_out,  // no completion within the time-out ("wait time out\n" printed, one abort sent), or
                // completed SS_ERR with a host time-out status (HASTAT_TIMEOUT, _COMMAND_TIMEOUT):
                // the system gave the command up first and aborted it itself ("wait time out\n"
                // printed, nothing more sent)
    no_event,   // not sent: no completion event could be made
};

struct AspiOutcome {
    AspiEnd end;
    std::uint8_t aspi_status;    // SRB_Status as completed; SS_PENDING when it never completed
    std::uint8_t host_status;    // SRB_HaStat
    std::uint8_t target_status;  // SRB_TargStat, the unshifted SCSI status byte
    std::uint8_t sense_key;      // from fixed- or descriptor-format sense when refused, else 0
    std::uint8_t asc;
    std::uint8_t ascq;
    // Data bytes moved: the length less the residual where the library counts one (a direct
    // command on an adapter that reports residual counts); otherwise the whole length once
    // completed SS_COMP and 0 when not.
    std::uint32_t transferred;
    // Set when a direct command was given up while the library may still write into its data:
    // the caller must then never reuse or free that buffer.
    bool buffer_kept;
};

// Sends `command` to `unit` as one zeroed and filled SRB_ExecSCSICmd: SC_EXEC_SCSI_CMD, the unit,
// SRB_EVENT_NOTIFY (with SRB_DIR_IN when there is data), the data length, the sense and CDB
// lengths, the CDB, and the exchange's own completion event in SRB_PostProc. A submit answered at
// once (anything but SS_PENDING) is not waited for; otherwise the wait lasts command.timeout, after
// which "wait time out\n" is printed and one SC_ABORT_SRB naming the request and its adapter sent.
//
// Ownership: the library never holds the caller's buffer unless the command is direct. The request
// block, its event and (unless direct) its data buffer belong to the binding and serve its next
// command too, so an exchange allocates nothing once the binding has served one as large. The
// event is made with the binding's first command and reset before every submit, so a stray signal
// from an earlier request cannot end the wait. A request the library may still write to or signal
// after it was given up (it did not complete the abort) leaves the binding and is kept alive for
// good, so a late completion lands in memory nobody else uses.
//
// Data: bytes the library does not deliver come back as zeros. Copied data reaches the caller's
// buffer once the request has completed, whatever its status; a command given up or not sent
// leaves that buffer as it was. A direct buffer is zeroed before the command, or, on an
// adapter that reports residual byte counts (HA_Unique, asked once per adapter and binding, and
// then SRB_ENABLE_RESIDUAL_COUNT is set in the request), only its undelivered tail after it.
// Nothing is printed but "wait time out\n".
AspiOutcome aspi_send(AspiBinding *binding, AspiUnit unit, const AspiCommand &command);

// SC_HA_INQUIRY for adapter `ha_id` (a zeroed SRB_HAInquiry, flags 0), sent straight to the
// library, which answers it at once: no event, no wait. True when it returned SS_COMP; `inquiry`
// then holds the adapter's answer (its own SRB_Status is not looked at).
bool aspi_inquire_adapter(AspiBinding *binding, std::uint8_t ha_id, SRB_HAInquiry &inquiry);

// How many given-up requests the library still held when the exchange gave up on them.
int aspi_requests_kept_alive();

// ---- Test seams ----
// Caps every command's wait in tests; the program always waits its commands' own time-outs.
void set_aspi_timeout(std::chrono::milliseconds timeout);

// An in-process stand-in for the library file. While installed, bind_aspi "loads" it instead of
// the file (failing like a missing file when fail_load is set) and looks the entry points up in
// it (a null entry point is a missing one); `loaded` counts the bindings that hold it.
struct AspiStandIn {
    GetASPI32SupportInfoFn support_info;
    SendASPI32CommandFn send_command;
    bool fail_load;
    std::atomic<int> loaded;
};
void install_aspi_stand_in(AspiStandIn *stand_in);  // nullptr: load the real library again
