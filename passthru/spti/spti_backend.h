#pragma once
// The spti back end: real CD-ROM drives on Windows, through the SCSI pass-through ioctl
// (IOCTL_SCSI_PASS_THROUGH_DIRECT), for machines without an ASPI layer of their own, in the frame
// the real-drive back ends share (real_drive/frame.h: the Backend table, the test seam, the
// describing lines).
//
// open      enumerates the drives (enumerate.h: CD-ROM drive letters and \\.\CdRomN, matched by
//           their device number and SCSI address; one ASPI adapter per port and path, sorted, then
//           one made-up adapter for drives that tell no address) and keeps each drive open for
//           commands: for reading and writing, else for reading only, else not yet. Its adapters
//           come after those of the back ends listed before it (the virtual drives). What the user
//           must know of a drive is said on standard error once per run of the program (however
//           often the library is loaded). With CDDAPLAY_DESCRIBE=1 in the environment it also says
//           one line per drive: "cddaplay: adapter A target T lun L: NAME VENDOR MODEL (port P path
//           B target T lun L)", or "(no SCSI address; device number N)" on the made-up adapter.
// execute   runs the command on the manager's worker thread. On a read/write handle: the
//           pass-through with an 8 s time-out in the system (spti_result.h); on a read-only handle:
//           the CD-ROM driver's own ioctls (read_only.h). Either is started overlapped and waited
//           for in slices of kCancelPoll. When the manager gives the command up, the back end asks
//           the system to cancel it (CancelIoEx) and then waits, without limit, until the system has
//           ended it: execute never returns while the system may still write into the command's
//           buffers, and a late answer lands in the manager's buffer (or our aligned copy), never
//           the caller's. A caller's buffer that misses the drive's alignment mask goes through an
//           aligned copy of the drive's own.
//           A drive without a handle is opened by its next command. A drive that has gone
//           (spti_result.h) or whose disc changed (a unit attention for that command) is closed and
//           reopened by the next command. A drive another program holds answers BUSY, named once
//           on standard error; its INQUIRY still answers, from the storage descriptor, so the
//           program finds it and its unit numbers stay put.
// close     closes every handle.
//
// State: fixed by open and read-only until close, except each drive's handle, its read-only mark
// and aligned copy, which only execute touches after open (the manager runs one command at a time
// and hands over between its threads under its own lock).

#include <chrono>

#include "passthru/backend.h"
#include "passthru/spti/spti_system.h"

namespace passthru::spti {

// How often a running command looks whether the manager has given it up.
inline constexpr std::chrono::milliseconds kCancelPoll{100};

const Backend &spti_backend();

// Test seam: the system calls the back end makes from its next open on (null: the real ones).
// Call only while the back end is closed; `system` must outlive its use.
void use_system(const SptiSystem *system);

}  // namespace passthru::spti
