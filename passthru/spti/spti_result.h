#pragma once
// One command through IOCTL_SCSI_PASS_THROUGH_DIRECT: the packet we give the system (the
// SCSI_PASS_THROUGH_DIRECT structure with the sense area right after it, one buffer for input and
// output), and what its answer means in ASPI terms (SRB_Status, SRB_HaStat, SRB_TargStat, sense),
// as ScsiOutcome carries them.
//
// The ioctl succeeded (the command reached the unit; SRB_TargStat is ScsiStatus as given):
//   ScsiStatus GOOD                    SS_COMP; `transferred` = DataTransferLength as the system
//                                      updated it (a short transfer is fine)
//   ScsiStatus CHECK CONDITION         SS_ERR, SRB_TargStat 0x02, the sense the system wrote
//                                      (SenseInfoLength bytes, at most kSenseBytes)
//   any other ScsiStatus (BUSY, ...)   SS_ERR, SRB_TargStat = ScsiStatus
// The ioctl failed with a Win32 error:
//   ERROR_OPERATION_ABORTED            SS_ABORTED when the manager gave the command up (we cancelled
//                                      it); otherwise SS_ERR, HASTAT_COMMAND_TIMEOUT (the system ended it)
//   ERROR_SEM_TIMEOUT, ERROR_TIMEOUT   SS_ERR, HASTAT_COMMAND_TIMEOUT (the port driver's time-out)
//   ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_DEV_NOT_EXIST, ERROR_BAD_UNIT,
//   ERROR_DEVICE_NOT_CONNECTED, ERROR_NO_SUCH_DEVICE, ERROR_DEVICE_REMOVED, ERROR_INVALID_HANDLE
//                                      SS_NO_DEVICE (the drive is gone)
//   ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION
//                                      SS_ERR, SRB_TargStat BUSY: another program holds the drive
//                                      (its exclusive lock fails every other handle's requests so);
//                                      the back end names the cause once on standard error
//   ERROR_INVALID_PARAMETER            SS_BUFFER_TO_BIG when the data is more than the drive's
//                                      largest transfer; otherwise SS_INVALID_SRB
//   ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION
//                                      SS_INVALID_SRB (the device takes no pass-through)
//   ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY, ERROR_NO_SYSTEM_RESOURCES, ERROR_WORKING_SET_QUOTA,
//   ERROR_NOT_ENOUGH_QUOTA, ERROR_BUSY SS_ASPI_IS_BUSY
//   ERROR_NOT_READY                    SS_ERR, CHECK CONDITION, sense NOT READY 04/00
//   ERROR_NO_MEDIA_IN_DRIVE            SS_ERR, CHECK CONDITION, sense NOT READY 3A/00 (no medium)
//   ERROR_MEDIA_CHANGED                SS_ERR, CHECK CONDITION, sense UNIT ATTENTION 28/00 (the disc
//                                      changed under the handle); the back end closes the handle and
//                                      the next command opens the drive anew
//   ERROR_IO_DEVICE                    SS_ERR, HASTAT_SEL_TO (the unit did not take the command)
//   anything else                      SS_ERR, HASTAT_PHASE_ERR
// After a failed ioctl nothing counts as transferred.

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "passthru/backend.h"
#include "passthru/spti/enumerate.h"

namespace passthru::spti {

// "A device which does not exist was specified" (433): newer than the platform headers we build with.
inline constexpr DWORD kErrorNoSuchDevice = 433;

// The system's time-out for one command: below the program's 10 s wait, so the port driver has
// given up (and answered) before the program does; as long as the sg back end's. Microsoft suggests
// more for a command that meets a spin-up; such a command fails as a time-out instead of outliving
// the program's wait (and a command the program gives up is still cancelled safely).
inline constexpr std::chrono::milliseconds kCommandTimeout{8000};
static_assert(kCommandTimeout < std::chrono::seconds{10} && kCommandTimeout % std::chrono::seconds{1} == kCommandTimeout.zero());

// Sense area after the structure: what a drive returns, and within Wine's limit of 64.
inline constexpr std::size_t kSystemSenseBytes = 32;

// The packet: one buffer for both directions of the ioctl.
struct PassThroughPacket {
    SCSI_PASS_THROUGH_DIRECT sptd;
    std::uint8_t sense[kSystemSenseBytes];
};
// What the system reads: the structure as the platform headers lay it out (checked against the
// documented offsets on both Windows targets).
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == (sizeof(void *) == 8 ? 24 : 20));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == (sizeof(void *) == 8 ? 32 : 24));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == (sizeof(void *) == 8 ? 36 : 28));
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == (sizeof(void *) == 8 ? 56 : 44));

// A packet for `command` with its data at `data` (the caller's buffer or our aligned copy) to the
// unit at `address`.
PassThroughPacket make_packet(const ScsiCommand &command, std::uint8_t *data, const ScsiAddress &address);

// The ioctl succeeded; `packet` is as the system left it.
void map_completion(const PassThroughPacket &packet, const ScsiCommand &command, ScsiOutcome &outcome);

// The ioctl failed with `error`. `given_up`: the manager cancelled the command meanwhile.
void map_error(DWORD error, const ScsiCommand &command, std::uint32_t unit_max_transfer, bool given_up,
               ScsiOutcome &outcome);

// The error says the drive is gone: its handle is closed and the next command opens it anew.
bool drive_gone(DWORD error);

}  // namespace passthru::spti
