#pragma once
// Finding the CD-ROM drives Windows shows and giving them ASPI addresses.
//
// Names: every drive letter of type CD-ROM (\\.\D:), then \\.\CdRom0 .. \\.\CdRom31 (the class
// driver's names, which also reach drives without a letter). One drive answers to several names;
// each is asked, on a handle opened for queries only, for its SCSI address (IOCTL_SCSI_GET_ADDRESS:
// port, path, target, LUN) and its device number (IOCTL_STORAGE_GET_DEVICE_NUMBER; a \\.\CdRomN
// that does not answer is device N, its name says so). Two names are one drive when they share a
// device number or an address, and the drive is listed once. Commands go to the first of its names
// that told the address (that name's stack also carries the pass-through; Wine's \\.\CdRomN
// answers neither), else to its first name. A name the system does not know is passed over in silence.
//
// A drive that tells no SCSI address under any name (USB and FireWire bridges refuse the query,
// error 50) is still a unit: it sits on one adapter of the library's making, after the real ones,
// at the target of its device number (numbers 0..15), else on the first free target, in the order
// of device number, then name. So the same set of drives gets the same unit numbers every run.
//
// Each drive is then opened for commands: for reading and writing, which the pass-through demands;
// where that is denied (a policy that denies write access to CD drives, a locked-down account), for
// reading only, and then its commands become the class driver's own ioctls (read_only.h). A drive
// that cannot be opened even so (another program holds it, no access at all) stays a unit without
// a handle: its commands try again, and are refused as busy until it opens. Each case is named once
// on standard error, with the reason and what helps.
//
// Limits, vendor, model and revision: IOCTL_STORAGE_QUERY_PROPERTY's adapter and device
// descriptors (descriptors.h), with safe fallbacks when the system gives none.
//
// Numbering: one ASPI adapter per (port, path) with a drive, sorted by port, then path; then the
// made-up adapter when a drive needs it. A drive keeps its target and LUN where ASPI's ranges
// allow (real_drive/numbering.h).
//
// Main thread only (the back end's open); the result is read-only afterwards except each drive's
// handle, its read-only mark and bounce buffer (see spti_backend.cpp).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "passthru/spti/descriptors.h"
#include "passthru/spti/spti_system.h"

namespace passthru::spti {

inline constexpr int kCdRomNames = 32;                           // \\.\CdRom0 .. \\.\CdRom31
inline constexpr int kMadeUpPort = -1;                           // the made-up adapter's port
inline constexpr int kNoDeviceNumber = -1;

struct ScsiAddress {
    int port = 0;
    int path = 0;
    int target = 0;
    int lun = 0;
    auto operator<=>(const ScsiAddress &) const = default;
};

// A buffer aligned to a drive's mask, for callers' buffers that are not.
struct AlignedFree {
    void operator()(std::uint8_t *p) const;
};
using AlignedBuffer = std::unique_ptr<std::uint8_t[], AlignedFree>;

struct Unit {
    ScsiAddress address;          // port kMadeUpPort: no SCSI address (target: its device number)
    int device_number = kNoDeviceNumber;
    int target = 0;               // ASPI target on its adapter
    int lun = 0;                  // ASPI LUN
    std::string name;             // the name commands go to, e.g. "\\.\D:"
    std::string vendor;           // from the storage device descriptor, trimmed; empty when unknown
    std::string model;
    std::string revision;
    TransferLimits limits;
    HANDLE device = nullptr;      // overlapped handle of `name`; null until it opens, or once it went
    bool read_only = false;       // `device` was opened for reading only
    HANDLE event = nullptr;       // the OVERLAPPED event of its commands
    AlignedBuffer bounce;         // allocated on first need, `bounce_size` bytes
    std::uint32_t bounce_size = 0;
};

struct SptiAdapter {
    int port = 0;
    int path = 0;
    int own_scsi_id = 7;
    TransferLimits limits;  // the smallest transfer and the widest mask of its drives
    std::vector<Unit> units;
};

// Finds and opens the drives; the handles belong to the result (close_adapters releases them).
std::vector<SptiAdapter> enumerate_adapters(const SptiSystem &system);

void close_adapters(const SptiSystem &system, std::vector<SptiAdapter> &adapters);

// Opens the unit's name for commands, overlapped: for reading and writing, or for reading only
// where writing is denied (u.read_only says which). False with *error when neither opens.
bool open_for_commands(const SptiSystem &system, Unit &u, DWORD *error);

// Runs one query ioctl to its end (no cancellation) with `event` for its OVERLAPPED.
DWORD run_ioctl(const SptiSystem &system, HANDLE device, HANDLE event, DWORD code, void *in, DWORD in_size, void *out,
                DWORD out_size, DWORD *returned);

// One line for people: why a name could not be opened for commands, and what to do.
std::string why_not(DWORD error);

// Writes "cddaplay: " + line on standard error, once per run of the program however often the
// library is loaded (platform::first_report_in_this_run).
void report_once(const SptiSystem &system, const std::string &line);

}  // namespace passthru::spti
