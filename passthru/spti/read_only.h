#pragma once
// SCSI commands on a drive open for reading only. The pass-through needs a handle with write
// access; where Windows denies that, the CD-ROM class driver still answers its own ioctls, which
// need read access only. The four commands the player sends become those ioctls, and their answers
// become what the drive itself would have answered:
//   INQUIRY (standard data)   answered here from the storage device descriptor (vendor, product,
//                             revision): a CD-ROM unit, removable, 36 bytes
//   TEST UNIT READY           IOCTL_STORAGE_CHECK_VERIFY: GOOD, or the sense its error means
//   READ TOC formats 0, 1, 5  IOCTL_CDROM_READ_TOC_EX with Format, Msf (formats 0 and 1) and
//                             SessionTrack (format 0; reserved otherwise) from the CDB; the system
//                             returns the drive's own response bytes
//   READ CD of CD-DA          IOCTL_CDROM_RAW_READ, TrackMode CDDA, DiskOffset = LBA * 2048 (the
//                             class driver's convention), 2352 bytes a sector; only the main
//                             channel (byte 9 0x10 or 0xF8, no sub-channel), sector type any or CD-DA
// Anything else is refused as the drive would refuse an unknown command: CHECK CONDITION, ILLEGAL
// REQUEST, INVALID COMMAND OPERATION CODE (05/20/00); a known command with a field we cannot carry
// (INQUIRY's vital product data, another READ TOC format, a READ CD with sub-channel or headers) is
// 05/24/00, INVALID FIELD IN CDB.
//
// Plain bytes, no platform headers: the ioctls' input structures are written here byte by byte
// (little-endian), and read_only_ioctls.cpp checks these layouts against the platform headers.

#include <cstdint>
#include <string>

#include "passthru/backend.h"

namespace passthru::spti {

enum class ReadOnlyStep : std::uint8_t {
    inquiry,       // answer from the device descriptor
    check_verify,  // IOCTL_STORAGE_CHECK_VERIFY, no data
    read_toc,      // IOCTL_CDROM_READ_TOC_EX, `input` CDROM_READ_TOC_EX; answer copied to the data
    raw_read,      // IOCTL_CDROM_RAW_READ, `input` RAW_READ_INFO; answer straight into the data
    refused,       // CHECK CONDITION ILLEGAL REQUEST with `asc`
    nothing,       // GOOD, no data (a READ CD of no sectors)
};

inline constexpr std::uint32_t kRawSectorBytes = 2352;
inline constexpr std::uint32_t kCookedSectorBytes = 2048;
inline constexpr std::size_t kReadTocExBytes = 4;     // sizeof(CDROM_READ_TOC_EX)
inline constexpr std::size_t kRawReadInfoBytes = 16;  // sizeof(RAW_READ_INFO)
inline constexpr std::uint8_t kTrackModeCdda = 2;     // TRACK_MODE_TYPE CDDA
inline constexpr std::uint8_t kInvalidOpcode = 0x20;
inline constexpr std::uint8_t kInvalidField = 0x24;

struct ReadOnlyPlan {
    ReadOnlyStep step = ReadOnlyStep::refused;
    std::uint8_t input[kRawReadInfoBytes] = {};
    std::uint32_t input_size = 0;
    std::uint32_t answer_bytes = 0;  // what the command may receive (raw_read: what is asked for)
    std::uint8_t asc = kInvalidOpcode;
};

// What `command` becomes on a read-only handle.
ReadOnlyPlan plan_read_only(const ScsiCommand &command);

// The standard INQUIRY data of a CD-ROM unit with these names, into `data` (at most `length`
// bytes, 36 at most): the number of bytes written.
std::uint32_t descriptor_inquiry(const std::string &vendor, const std::string &model, const std::string &revision,
                                 std::uint8_t *data, std::uint32_t length);

}  // namespace passthru::spti
