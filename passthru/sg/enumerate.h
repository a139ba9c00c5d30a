#pragma once
// Finding the CD-ROM units the kernel exposes and giving them ASPI addresses.
//
// Nodes: /dev/srN (the sr driver) and /dev/sgN (the sg driver, when loaded). One unit appears as
// both; they are matched by their kernel address H:C:T:L (host, channel, target, LUN), read from
// sysfs (/sys/block/srN/device, /sys/class/scsi_generic/sgN/device link to the device directory
// named H:C:T:L) or, for an sr node sysfs does not describe, from SCSI_IOCTL_GET_IDLUN. An sg node
// counts only when sysfs says its device is a CD-ROM (type 5) or WORM (type 4) unit.
// Each unit is opened through its sg node, or through its sr node when there is no sg node or it
// cannot be opened: a thread waiting in SG_IO on an sg node gives way to a fatal signal, on an sr
// node it does not (the block layer waits uninterruptibly), so a command the drive never answers
// would hold the whole process at its exit until the kernel lets go of it (30 s and more). Nodes
// open for reading and writing where the node's permissions allow (the kernel passes SET CD SPEED
// only then), else for reading only. A unit that cannot be opened at all is left out, with one
// line on standard error (through SgSystem::report) naming the node and the reason; the units left
// out for want of permission share one line naming the group to join and their sr nodes.
//
// Largest transfer: what SG_IO takes on the unit's queue, max_sectors_kb and no more than
// max_segments pages (max_hw_sectors_kb, the hardware's limit, when the queue does not say).
//
// Numbering: one ASPI adapter per distinct (host, channel) that has a unit, sorted by host, then
// channel; on its adapter a unit keeps its kernel target and LUN where ASPI's ranges allow
// (real_drive/numbering.h).
//
// Main thread only (the back end's open); the result is read-only afterwards except each unit's
// descriptor (see sg_backend.cpp).

#include <cstdint>
#include <string>
#include <vector>

#include "passthru/sg/sg_system.h"

namespace passthru::sg {

// The default largest data transfer when sysfs does not tell the queue's limit.
inline constexpr std::uint32_t kDefaultMaxTransfer = 64 * 1024;

struct KernelAddress {
    int host = 0;
    int channel = 0;
    int target = 0;
    int lun = 0;
    auto operator<=>(const KernelAddress &) const = default;
};

struct Unit {
    KernelAddress kernel;
    int target = 0;                 // ASPI target on its adapter
    int lun = 0;                    // ASPI LUN
    int device_type = 5;            // peripheral device type from sysfs (5 CD-ROM, 4 WORM)
    std::string node;               // the node commands go to, e.g. "/dev/sg0"
    std::string vendor;             // from sysfs, trimmed; empty when unknown
    std::string model;
    std::uint32_t max_transfer = kDefaultMaxTransfer;  // largest SG_IO data transfer, bytes
    int fd = -1;                    // open descriptor of `node`, or -1
    bool writable = false;          // `fd` is open for reading and writing
};

struct SgAdapter {
    int host = 0;
    int channel = 0;
    int own_scsi_id = 7;
    std::uint32_t max_transfer = kDefaultMaxTransfer;  // the smallest of its units'
    std::vector<Unit> units;
};

// Finds and opens the units; the descriptors belong to the result (close_adapters releases them).
std::vector<SgAdapter> enumerate_adapters(const SgSystem &system);

void close_adapters(const SgSystem &system, std::vector<SgAdapter> &adapters);

// Opens `node` for reading and writing, or for reading only when its permissions allow no more.
// A descriptor (`writable` says how it was opened) or -errno.
int open_unit_node(const SgSystem &system, const std::string &node, bool &writable);

// Writes "cddaplay: " + line on standard error.
void report(const SgSystem &system, const std::string &line);

// "H:C:T:L" (the last path component of `link`, as sysfs names SCSI devices). False otherwise.
bool parse_kernel_address(const std::string &link, KernelAddress &address);

}  // namespace passthru::sg
