#pragma once
// The library's ASPI manager over a real-drive back end, in-process, on a made-up machine: the
// request a program hands SendASPI32Command, and the machine the shared library tests
// (library_test.cpp) script. The back end list is the tests' own (seam.h): one virtual adapter
// (no units) first, then the back end, as in the library.

#include <array>
#include <cstdint>
#include <vector>

#include "aspi/aspi32.h"
#include "platform/platform.h"

namespace real_drive_test {

inline constexpr std::uint8_t kRealAdapter = 1;  // after the virtual one
inline constexpr std::uint8_t kCanary = 0xCC;

// A made-up machine with one CD drive at target 0, LUN 0 of the back end's first adapter. Each
// back end's library tests define library_drive(): made on first use, it lives as long as the
// process, since the manager closes its back ends only when the process ends.
class LibraryDrive {
public:
    virtual ~LibraryDrive() = default;
    // What the adapter tells of itself: HA_Identifier and the first 8 bytes of HA_Unique.
    virtual const char *adapter_name() const = 0;
    virtual std::array<std::uint8_t, 8> ha_unique() const = 0;
    // How the drive answers the commands from now on.
    virtual void answer_good() = 0;  // GOOD, every byte transferred
    virtual void answer_data(std::vector<std::uint8_t> bytes) = 0;  // GOOD, these bytes
    virtual void answer_check_condition(std::vector<std::uint8_t> sense) = 0;
    virtual void answer_time_out() = 0;  // the system gives the command up after its time-out
};
LibraryDrive &library_drive();

// One SC_EXEC_SCSI_CMD request with its own buffer (canary-filled), sense area and event.
struct Exec {
    Exec(std::vector<std::uint8_t> cdb, std::uint32_t length, std::uint8_t flags = SRB_DIR_IN);
    ~Exec();
    Exec(const Exec &) = delete;
    Exec &operator=(const Exec &) = delete;

    // Submits; returns what SendASPI32Command answered. A pending request is waited for.
    std::uint32_t run();
    std::uint8_t status() const;  // SRB_Status, as another thread may have written it

    SRB_ExecSCSICmd srb;
    std::vector<std::uint8_t> buffer;
    platform::EventHandle event;
    std::uint32_t submitted = 0;
    bool signalled = false;
};

// A zeroed request block of `command` for the real drive's adapter.
template <typename Block>
Block request_block(std::uint8_t command) {
    Block block{};
    block.SRB_Cmd = command;
    block.SRB_HaId = kRealAdapter;
    return block;
}

// READ CD of `sectors` CD-DA sectors from LBA 0, 2352 bytes each.
std::vector<std::uint8_t> read_cd_cdb(std::uint32_t sectors);

// Asks the manager to abort `exec`: what SendASPI32Command answered.
std::uint32_t abort_request(Exec &exec);

}  // namespace real_drive_test
