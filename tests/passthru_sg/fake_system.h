#pragma once
// A made-up Linux machine behind the sg back end's SgSystem: /dev entries, sysfs links and
// attributes, nodes that open or fail, and a script answering every SG_IO. One machine is current
// at a time (the seam's functions are plain functions); it records what the back end did.

#include <scsi/sg.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "passthru/sg/enumerate.h"
#include "passthru/sg/sg_system.h"

namespace sg_test {

using passthru::sg::KernelAddress;

struct CdUnit {
    KernelAddress address;
    std::optional<int> sr;  // /dev/srN
    std::optional<int> sg;  // /dev/sgN
    std::string vendor = "HL-DT-ST";
    std::string model = "DVDRAM GH24NSD1";
    int type = 5;
    int max_hw_kib = 512;   // 0: no queue limit in sysfs
    int max_kib = 0;        // max_sectors_kb; 0: not in sysfs
    int max_segments = 0;   // 0: not in sysfs
    bool in_sysfs = true;   // false: no device directory, no node links
};

inline CdUnit cd_unit(KernelAddress address, std::optional<int> sr, std::optional<int> sg = std::nullopt) {
    CdUnit u;
    u.address = address;
    u.sr = sr;
    u.sg = sg;
    return u;
}
// The same with one more field changed.
template <typename Field, typename Value>
CdUnit cd_unit(KernelAddress address, std::optional<int> sr, std::optional<int> sg, Field CdUnit::*field, Value value) {
    CdUnit u = cd_unit(address, sr, sg);
    u.*field = value;
    return u;
}

// What one SG_IO call received.
struct IoCall {
    std::string node;
    sg_io_hdr_t header;
    std::vector<std::uint8_t> cdb;
};

class FakeMachine {
public:
    FakeMachine();   // becomes the current machine
    ~FakeMachine();
    FakeMachine(const FakeMachine &) = delete;
    FakeMachine &operator=(const FakeMachine &) = delete;

    void add(const CdUnit &unit);
    // An sg node of a unit that is no CD drive (a disk: type 0).
    void add_other_sg(int sg, KernelAddress address);

    // The SgSystem whose functions act on the current machine.
    static const passthru::sg::SgSystem &system();

    // ---- The machine ----
    std::map<std::string, std::vector<std::string>> dirs;   // directory -> names
    std::map<std::string, std::string> links;               // link -> target
    std::map<std::string, std::string> files;               // file -> contents
    std::map<std::string, int> open_errors;                 // node -> errno its open fails with
    std::map<std::string, int> write_errors;                // node -> errno an open for writing fails with
    std::string node_group = "cdrom";                       // the group owning every node
    std::map<std::string, KernelAddress> idlun;             // node -> what SCSI_IOCTL_GET_IDLUN says
    // Answers SG_IO: 0 after filling the header's outputs (and data, sense), or -errno.
    // Unset: GOOD, everything transferred.
    std::function<int(sg_io_hdr_t &)> respond;

    // ---- What the back end did ----
    std::vector<std::string> reports;   // lines for standard error
    std::vector<std::string> opens;     // every successful open, in order
    std::vector<bool> opens_writable;   // whether each was for writing
    std::map<int, std::string> open_fds;  // descriptors not yet closed
    std::vector<IoCall> calls;          // guarded by calls_mutex: SG_IO runs on threads of its own
    std::mutex calls_mutex;

private:
    int next_fd_ = 100;
    friend struct FakeCalls;
};

// What a real kernel answered through SG_IO, on /dev/srN and /dev/sgN alike (Debian's 6.1.0-57,
// 6.1.192, in the drive rig: tests/rig/scenarios/85-kernel-facts.sh prints these and checks them).
// The helpers below answer the same way; kernel_* ones are these answers as measured.
//   READ CD of 10 sectors into 12 sectors' room    GOOD, resid 4704, info 0
//   READ CD (CD-DA only) on a data sector          status 0x02, driver 0x08, info 1, resid 0,
//                                                  sb_len_wr 18, fixed sense 70 .. 05/64/00
//   MEDIUM ERROR (a damaged sector in the range)   the same with F0 (VALID, information = that
//                                                  LBA) 03/11/00; resid 0 though nothing moved
//   NOT READY, no disc (TEST UNIT READY)           the same with 70 .. 02/3A/00; never ENOMEDIUM
//                                                  on a node opened O_NONBLOCK
//   no answer: the kernel's time-out, then abort   status 0, host 0x03 (DID_TIME_OUT), driver 0,
//                                                  info 1, sb_len_wr 0, resid 0; the ioctl returns
//                                                  once the unit let the command go: at the time-out
//                                                  when it drops it on the abort (sr raises a time-out
//                                                  under 7 s to 7 s), 30 s when only the target's own
//                                                  command time-out ends it; the unit answers after
//   more pages than max_segments (446 sectors:     ioctl EINVAL (the queue: max_sectors_kb 1280,
//   1,048,992 bytes)                               max_segments 256, max_hw_sectors_kb 32766)
//   more than max_hw_sectors_kb (14300 sectors)    ioctl EIO on sr, ENOMEM on sg
//   a writing command (SET CD SPEED) through a     ioctl EPERM
//   node open read-only, unprivileged
//   open without permission                        EACCES
//   /sys/block/sr0/device, /sys/class/scsi_generic/sg0/device: both "../../../0:0:1:0"

// Script helpers for `respond`.
// GOOD; `bytes` are written to the data buffer; resid = dxfer_len - bytes.size().
std::function<int(sg_io_hdr_t &)> answer_data(std::vector<std::uint8_t> bytes);
// A completion with the given status, host and driver status and sense bytes (sb_len_wr set).
std::function<int(sg_io_hdr_t &)> answer_status(std::uint8_t status, std::uint16_t host, std::uint16_t driver,
                                                std::vector<std::uint8_t> sense = {}, int resid = 0);
// The ioctl fails with `error`.
std::function<int(sg_io_hdr_t &)> fail_with(int error);
// CHECK CONDITION with 18 bytes of fixed sense `key`/`asc`/`ascq` (VALID with `information` when
// it is set), resid 0, as the kernel reports a drive's refusal or read error.
std::function<int(sg_io_hdr_t &)> kernel_check_condition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                                         std::optional<std::uint32_t> information = std::nullopt);
// The kernel's own time-out: DID_TIME_OUT, no sense, resid 0.
std::function<int(sg_io_hdr_t &)> kernel_time_out();

}  // namespace sg_test
