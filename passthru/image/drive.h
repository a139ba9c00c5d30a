#pragma once
// The virtual CD-ROM drive: answers one SCSI command for one unit from its Disc.
//
//   INQUIRY (0x12)          type 5, RMB, version byte from the unit, vendor "CDDAPLAY", 56 bytes:
//                           bytes 36..55 (vendor specific) name the image the unit holds (its
//                           file name without extension, or "builtin"), space-padded, cut at
//                           20 bytes
//   TEST UNIT READY (0x00)  GOOD, or NOT READY 02/3A/00 (no medium) for a not-ready unit or an
//                           empty drive (no disc: its image was refused)
//   READ TOC (0x43)         format 0 in LBA or MSF form (MSF = LBA + 150), ADR 1 + CONTROL per
//                           track, lead-out 0xAA (the last session's); honours the starting track
//                           and the allocation length (the header's data length is always the full
//                           length). Format 1: first and last session, and the first track of the
//                           last session with its start. Format 5: the disc's CD-Text packs
//                           (cdtext_packs.h), a bare header when it has none.
//   READ CD (0xBE)          byte 9 = 0xF8 (everything): 2352 bytes per sector, exactly the image's;
//                           byte 9 = 0x10 (user data): 2352 bytes per audio sector, but only the
//                           user data of a data sector (2048 for Mode 1 and Mode 2 Form 1, 2324 for
//                           Form 2), so a read that spans data comes back short yet GOOD, as on a
//                           real drive. Other selections with user data (sync, header, EDC bits,
//                           e.g. 0x78) read as 0x10 (audio sectors: their 2352 bytes); C2 error
//                           flags or no user data: 05/24/00. Expected sector type 0 any, 1 CD-DA (audio tracks only,
//                           else 05/64/00), 2..5 data tracks only. The gap between two sessions
//                           cannot be read: 05/21/00.
//   SET CD SPEED (0xBB)     GOOD, with or without a medium; the read speed is kept in the Unit
//   READ CAPACITY (0x25)    last LBA and a 2048-byte block length, as CD drives report
//   INQUIRY EVPD            VPD pages 00 (the list) and 80 (serial number); others 05/24/00
//   MODE SENSE 6/10         page 2A (CD capabilities; 3F gives it too), no block descriptor;
//   (0x1A, 0x5A)            changeable values all 0; saved values 05/39/00; other pages 05/24/00
//   GET CONFIGURATION (0x46) profile CD-ROM (current with a disc), features Core, Removable
//                           Medium, CD Read; request types 0, 1, 2
//   GET EVENT STATUS (0x4A) polled only (else 05/24/00): the media class, never an event, whether
//                           a disc is in
//   PREVENT/ALLOW (0x1E)    GOOD (nothing to lock)
//   READ DISC INFORMATION   a finalized disc: first track, sessions, last session's tracks
//   READ TRACK INFORMATION  by track number or by LBA: session, control, start, size
//   REQUEST SENSE (0x03)    the sense data of the unit's last CHECK CONDITION, then NO SENSE
//   anything else           CHECK CONDITION 05/20/00 (invalid command operation code)
// An image file that cannot be read during play: MEDIUM ERROR 03/11/00, and one line on standard
// error per file naming it and the reason.
// Out of range (LBA < 0 or past the lead-out): 05/21/00, nothing read. A descriptor block shorter
// than its command's group, or a field we do not support: 05/24/00. A data buffer too small for
// what the command would return: the bytes that fit, and SRB_HaStat HASTAT_DO_DU (overrun).
//
// Thread: one command at a time, on the manager's worker, or on the calling thread where the
// adapter answers at once (the manager runs those one at a time as well), so a Unit's mutable state
// is unguarded.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/cd_speed.h"
#include "passthru/backend.h"
#include "passthru/image/disc.h"
#include "passthru/scsi_opcodes.h"

namespace passthru::image {

struct Unit {
    std::shared_ptr<const Disc> disc;        // null: an empty drive
    std::string image_name;                  // INQUIRY bytes 36-55: the image's file name, without extension
    bool not_ready = false;
    std::uint8_t version = 5;                // INQUIRY byte 2
    std::uint8_t last_sense[kSenseBytes] = {};  // for REQUEST SENSE
    bool has_sense = false;
    std::uint16_t read_speed = SPEED_MAXIMUM_KBS;  // kB/s from the last SET CD SPEED
    std::vector<std::uint8_t> staging;          // READ CD's sectors before they are sliced
    std::vector<int> files_reported;         // files whose read failure was told
};

void execute_drive_command(Unit &unit, const ScsiCommand &command, ScsiOutcome &outcome);

// CDB operation codes the drive knows (scsi_opcodes.h).
inline constexpr std::uint8_t kKnownOps[] = {
    kOpTestUnitReady, kOpRequestSense, kOpInquiry,    kOpReadCapacity,        kOpReadToc,
    kOpReadCd,        kOpSetCdSpeed,   kOpModeSense6, kOpPreventAllow,        kOpGetConfiguration,
    kOpEventStatus,   kOpReadDiscInformation,         kOpReadTrackInformation, kOpModeSense10};

}  // namespace passthru::image
