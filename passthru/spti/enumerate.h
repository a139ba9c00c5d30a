#pragma once
// Finding the CD-ROM drives Windows shows and giving them ASPI addresses.
//
// Names: every drive letter of type CD-ROM (\\.\D:), then \\.\CdRom0 .. \\.\CdRom31 (the class
// driver's names, which also reach drives without a letter). One drive answers to several names;
// they are matched by the SCSI address IOCTL_SCSI_GET_ADDRESS gives (port, path, target, LUN),
// asked on a handle opened for queries only, and the drive is listed once, under its first name.
// A name the system does not know is passed over in silence; a drive whose address cannot be
// learnt is left out with one line on standard error.
// Each drive is then opened for reading and writing, which the pass-through demands. A drive that
// cannot be (an unelevated user where the system wants an administrator, another program holding
// the drive to itself) is left out, with one line on standard error saying why and what to do.
//
// Limits, vendor and model: IOCTL_STORAGE_QUERY_PROPERTY's adapter and device descriptors
// (descriptors.h), with safe fallbacks when the system gives none.
//
// Numbering: one ASPI adapter per (port, path) with a drive, sorted by port, then path. A drive
// keeps its target and LUN when they fit ASPI's ranges (target <= 15, LUN <= 7); otherwise it takes
// a free slot, LUN 0 of an unused target first. The adapter's own SCSI id (HA_SCSI_ID) is one no
// drive uses: 7 when free, else the highest free target, else 16 (the player then skips none).
//
// Main thread only (the back end's open); the result is read-only afterwards except each drive's
// handle and bounce buffer (see spti_backend.cpp).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "passthru/spti/descriptors.h"
#include "passthru/spti/spti_system.h"

namespace passthru::spti {

inline constexpr int kCdRomNames = 32;                           // \\.\CdRom0 .. \\.\CdRom31
inline constexpr int kNoFreeTarget = 16;

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
    ScsiAddress address;
    int target = 0;               // ASPI target on its adapter
    int lun = 0;                  // ASPI LUN
    std::string name;             // the name commands go to, e.g. "\\.\D:"
    std::string vendor;           // from the storage device descriptor, trimmed; empty when unknown
    std::string model;
    TransferLimits limits;
    HANDLE device = nullptr;      // read/write overlapped handle of `name`; null once the drive went
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

// Opens `name` for the pass-through: read/write, overlapped. Null with *error when it cannot.
HANDLE open_for_commands(const SptiSystem &system, const std::string &name, DWORD *error);

// Runs one query ioctl to its end (no cancellation) with `event` for its OVERLAPPED.
DWORD run_ioctl(const SptiSystem &system, HANDLE device, HANDLE event, DWORD code, void *in, DWORD in_size, void *out,
                DWORD out_size, DWORD *returned);

// One line for people: why a name could not be opened for commands, and what to do.
std::string why_not(DWORD error);

}  // namespace passthru::spti
