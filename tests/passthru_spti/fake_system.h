#pragma once
// A made-up Windows machine behind the spti back end's SptiSystem: drive letters, \\.\CdRomN names,
// drives with SCSI addresses and descriptors, opens that fail, and a script answering every
// pass-through, at once or later (an ioctl the system holds until the test finishes it, as a
// drive does that answers after a cancel). One machine is current at a time (the seam's functions
// are plain functions); it records what the back end did. Safe to use from the back end's thread
// and the test's at once.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "passthru/spti/enumerate.h"
#include "passthru/spti/spti_result.h"
#include "passthru/spti/spti_system.h"

namespace spti_test {

using passthru::spti::PassThroughPacket;
using passthru::spti::ScsiAddress;

struct FakeDrive {
    std::optional<char> letter;           // its CD-ROM drive letter
    std::optional<int> cdrom;             // its \\.\CdRomN
    std::optional<ScsiAddress> address;   // what IOCTL_SCSI_GET_ADDRESS says; none: ERROR_NOT_SUPPORTED
    std::optional<int> device_number;     // IOCTL_STORAGE_GET_DEVICE_NUMBER's; none: ERROR_INVALID_FUNCTION
    DWORD open_error = 0;                 // a read/write open fails with this
    DWORD read_only_error = 0;            // a read-only open fails with this
    std::vector<std::uint8_t> adapter_descriptor;  // STORAGE_ADAPTER_DESCRIPTOR; empty: the query fails
    std::string vendor = "HL-DT-ST";
    std::string model = "DVDRAM GH24NSD1";
    std::string revision = "1.00";
};

// A drive with a letter and/or a CdRom number (also its device number) at `address`, 128 KiB
// transfers, dword alignment.
FakeDrive drive(std::optional<char> letter, std::optional<int> cdrom, ScsiAddress address);
// A STORAGE_ADAPTER_DESCRIPTOR's bytes.
std::vector<std::uint8_t> adapter_descriptor(std::uint32_t max_transfer, std::uint32_t physical_pages,
                                             std::uint32_t alignment_mask);

// What one pass-through received.
struct PassThroughCall {
    std::string name;
    SCSI_PASS_THROUGH_DIRECT sptd;
    DWORD in_size;
    DWORD out_size;
};

// Answers a pass-through: fills the packet's outputs (ScsiStatus, DataTransferLength, data in
// DataBuffer, sense at SenseInfoOffset, SenseInfoLength) and returns 0, or returns an error, or
// ERROR_IO_PENDING to hold it until finish().
using Responder = std::function<DWORD(PassThroughPacket &)>;

// What one of the CD-ROM driver's own ioctls (IOCTL_STORAGE_CHECK_VERIFY, IOCTL_CDROM_READ_TOC_EX,
// IOCTL_CDROM_RAW_READ) received.
struct DriverCall {
    std::string name;
    DWORD code;
    std::vector<std::uint8_t> input;
    DWORD out_size;
};
// Answers one: writes into `out` (out_size bytes), sets `returned`, gives 0 or an error.
using DriverResponder = std::function<DWORD(const DriverCall &call, std::uint8_t *out, DWORD &returned)>;

class FakeMachine {
public:
    FakeMachine();  // becomes the current machine: drive C: (fixed), no CD drive
    ~FakeMachine();
    FakeMachine(const FakeMachine &) = delete;
    FakeMachine &operator=(const FakeMachine &) = delete;

    void add(const FakeDrive &drive);
    static const passthru::spti::SptiSystem &system();

    // Ends the held pass-through: `answer` writes into its packet and buffer (as late as this) and
    // gives how it ended. Returns false when none is held.
    bool finish(const Responder &answer);
    // Blocks until the back end has asked to cancel the held pass-through.
    void wait_for_cancel();
    // Blocks until a pass-through is held.
    void wait_for_held();

    // ---- The machine (set up before the back end opens, or between commands) ----
    std::map<char, UINT> letters;                   // drive letter -> GetDriveType
    std::vector<FakeDrive> drives;
    std::map<std::string, DWORD> query_open_errors;  // name -> error of an open for queries
    std::map<std::string, DWORD> address_errors;     // name -> error of its IOCTL_SCSI_GET_ADDRESS
    std::map<std::string, DWORD> number_errors;      // name -> error of its IOCTL_STORAGE_GET_DEVICE_NUMBER
    std::map<std::string, DWORD> disk_numbers;  // name -> a disk's device number it answers (Wine's letters: 1)
    // A letter of a drive with a CdRom number stands for "\Device\CdRomN" (QueryDosDevice).
    Responder respond;                              // unset: GOOD, everything transferred (0x5A)
    DriverResponder driver;                         // unset: ERROR_INVALID_FUNCTION

    // ---- What the back end did (read once it is idle, or under lock()) ----
    std::vector<std::string> reports;          // lines for standard error
    std::vector<std::string> read_write_opens;  // every successful read/write open, in order
    std::vector<std::string> read_only_opens;   // every successful read-only open, in order
    std::vector<PassThroughCall> calls;
    std::vector<DriverCall> driver_calls;
    int cancels = 0;
    int open_handles() const;                   // device handles and events not yet closed
    bool holding() const;                       // a pass-through is held

    std::unique_lock<std::mutex> lock() const { return std::unique_lock(mutex_); }

private:
    struct Held {
        OVERLAPPED *overlapped = nullptr;
        PassThroughPacket *packet = nullptr;
        bool done = false;
        DWORD error = 0;
        DWORD returned = 0;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<HANDLE, std::string> handles_;  // open handle -> name ("" for an event)
    std::map<HANDLE, DWORD> access_;         // open device handle -> the access it was opened with
    std::optional<Held> held_;
    std::uintptr_t next_handle_ = 0x100;
    friend struct FakeCalls;
};

// Script helpers for `respond`.
// GOOD; `bytes` go to the data buffer; DataTransferLength becomes how many did.
Responder answer_data(std::vector<std::uint8_t> bytes);
// A completion with ScsiStatus `status`, sense bytes and DataTransferLength `transferred`.
Responder answer_status(std::uint8_t status, std::vector<std::uint8_t> sense = {}, std::uint32_t transferred = 0);
// The ioctl fails with `error`.
Responder fail_with(DWORD error);
// The system holds the ioctl until FakeMachine::finish.
Responder hold();

}  // namespace spti_test
