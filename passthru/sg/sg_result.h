#pragma once
// One command through SG_IO: the request header we give the kernel, and what its answer means in
// ASPI terms (SRB_Status, SRB_HaStat, SRB_TargStat, sense), as ScsiOutcome carries them.
//
// The ioctl failed (-errno, the command never reached the unit):
//   ENODEV, ENXIO, ENOENT              SS_NO_DEVICE (the unit is gone)
//   EINVAL, EIO, ENOMEM, more data     SS_BUFFER_TO_BIG (the size checks; 6.1 answers EINVAL past
//   than the unit's queue takes        max_segments pages on sr and sg, past max_hw_sectors_kb
//                                      EIO on sr and ENOMEM on sg)
//   EINVAL, EMSGSIZE, EPERM, EACCES,   SS_INVALID_SRB (the kernel refused the command or its
//   EFAULT, ENOTTY                     buffer; EPERM: a command the kernel's filter forbids)
//   EIO otherwise                      SS_ERR, HASTAT_SEL_TO (the unit did not take the command)
//   ENOMEM, EAGAIN, EBUSY, EINTR       SS_ASPI_IS_BUSY
//   ENOMEDIUM                          SS_ERR, CHECK CONDITION, sense NOT READY 3A/00 (no medium)
//   anything else                      SS_ERR, HASTAT_PHASE_ERR
// The ioctl returned 0 (SRB_TargStat is always the raw status byte, never masked_status):
//   host DID_TIME_OUT                  SS_ERR, HASTAT_COMMAND_TIMEOUT
//   host DID_NO_CONNECT, DID_BAD_TARGET SS_ERR, HASTAT_SEL_TO
//   host DID_RESET                     SS_ERR, HASTAT_BUS_RESET
//   host DID_PARITY                    SS_ERR, HASTAT_PARITY_ERROR
//   host DID_ABORT                     SS_ABORTED when the manager gave the command up; otherwise
//                                      SS_ERR, HASTAT_COMMAND_TIMEOUT (we never ask the kernel to
//                                      abort: it does so from its own time-out handling)
//   any other host status              SS_ERR, HASTAT_PHASE_ERR
//   status CHECK CONDITION, or driver  SS_ERR, SRB_TargStat 0x02, the sense the kernel wrote, in
//   status DRIVER_SENSE                fixed format (descriptor-format sense is converted)
//   other status (BUSY, RESERVATION    SS_ERR, SRB_TargStat = status
//   CONFLICT, ...)
//   status GOOD, driver DRIVER_TIMEOUT SS_ERR, HASTAT_COMMAND_TIMEOUT (kernels before 5.13)
//   status GOOD, other driver error    SS_ERR, HASTAT_PHASE_ERR
//   all GOOD                           SS_COMP; `transferred` = data_length - resid (short is fine)
// Whatever the verdict, `transferred` counts the bytes the kernel says it moved (0 after a failed
// ioctl, and after a failed command whose resid is 0: 6.1 reports no residual then, the data
// having never come). That is an upper bound: a host adapter that reports no residual leaves resid 0 after a
// short transfer too, so the sg adapters do not claim exact counts and the manager zeroes data
// coming in first (AdapterIdentity::exact_transfer_count).

#include <scsi/sg.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "passthru/backend.h"

namespace passthru::sg {

// The kernel's time-out for one command: below the program's 10 s wait, so the kernel has given up
// (and answered) before the program does; at least the block layer's 7 s minimum, which would
// raise anything smaller on /dev/srN anyway.
inline constexpr std::chrono::milliseconds kCommandTimeout{8000};
static_assert(kCommandTimeout >= std::chrono::milliseconds{7000} && kCommandTimeout < std::chrono::seconds{10});

// Sense buffer for the kernel: its own SCSI_SENSE_BUFFERSIZE, so nothing it has is cut off.
inline constexpr std::size_t kKernelSenseBytes = 96;

// SG_IO's host_status values (DID_*) and driver_status values the mapping looks at.
inline constexpr std::uint16_t kDidOk = 0x00, kDidNoConnect = 0x01, kDidTimeOut = 0x03, kDidBadTarget = 0x04,
                               kDidAbort = 0x05, kDidParity = 0x06, kDidReset = 0x08;
inline constexpr std::uint16_t kDriverTimeout = 0x06, kDriverSense = 0x08;

// A zeroed header for `command`: direction, CDB, data buffer, `sense` (kKernelSenseBytes bytes),
// the time-out in milliseconds.
sg_io_hdr_t make_header(const ScsiCommand &command, std::uint8_t *sense);

// The ioctl failed with `error`; `unit_max_transfer` is the unit queue's limit in bytes.
void map_submit_error(int error, const ScsiCommand &command, std::uint32_t unit_max_transfer, ScsiOutcome &outcome);

// The ioctl returned 0 with `header` filled in by the kernel (sense at header.sbp). `given_up`: the
// manager cancelled the command meanwhile.
void map_completion(const sg_io_hdr_t &header, const ScsiCommand &command, bool given_up, ScsiOutcome &outcome);

// Stores up to kSenseBytes of fixed-format sense in `outcome`, converting descriptor format
// (response code 0x72/0x73: key, ASC, ASCQ and the information descriptor) to fixed (0x70/0x71).
void store_sense(const std::uint8_t *sense, std::size_t length, ScsiOutcome &outcome);

}  // namespace passthru::sg
