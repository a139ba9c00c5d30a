#pragma once
// The sg back end: real CD-ROM drives on Linux, through the SG_IO ioctl, in the frame the real-drive
// back ends share (real_drive/frame.h: the Backend table, the test seam, the describing lines).
//
// open      enumerates the units (enumerate.h: /dev/srN, /dev/sgN, matched by H:C:T:L, one ASPI
//           adapter per SCSI host and channel, sorted) and keeps each unit's node open. Its adapters
//           come after those of the back ends listed before it (the virtual drives). A node the
//           user may not open is named once on standard error, with the reason. With
//           CDDAPLAY_DESCRIBE=1 in the environment it also prints one line per unit on standard
//           error: "cddaplay: adapter A target T lun L: NODE VENDOR MODEL (scsi H:C:T:L)".
// execute   runs the command with SG_IO on the unit's node (kernel time-out 8 s, sg_result.h), on
//           the manager's worker thread. SG_IO cannot be cancelled: a command the manager gave up
//           still runs to its end, into the manager's buffer. A unit whose node has gone (ENODEV,
//           ENXIO) is closed and reopened by its next command, so a drive plugged in again at the
//           same node answers again; until then its commands complete with SS_NO_DEVICE.
// close     closes every node.
//
// State: fixed by open and read-only until close, except each unit's descriptor, which only
// execute touches after open (the manager runs one command at a time and hands over between its
// threads under its own lock).

#include "passthru/backend.h"
#include "passthru/sg/sg_system.h"

namespace passthru::sg {

const Backend &sg_backend();

// Test seam: the system calls the back end makes from its next open on (null: the real ones).
// Call only while the back end is closed; `system` must outlive its use.
void use_system(const SgSystem *system);

}  // namespace passthru::sg
