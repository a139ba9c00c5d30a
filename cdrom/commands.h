#pragma once
// One builder per SCSI command the program sends. Each returns the command for aspi_send: its CDB,
// the caller's data buffer and length, the sense bytes asked for, the 10 s time-out. Judging the
// answer is aspi_send's (AspiOutcome); what an outcome means for the program is the caller's
// business. Buffers are the caller's and must outlive the command.

#include <cstdint>

#include "aspi/binding.h"
#include "common/cd_speed.h"

inline constexpr std::uint32_t INQUIRY_BYTES = 128;
inline constexpr std::uint32_t TOC_RESPONSE_BYTES = 2048;

// The unit as the request names it: only the low 8 bits of ha_id, target and lun.
AspiUnit unit_at(std::int32_t ha_id, std::int32_t target, std::int32_t lun);

// True, after printing "fail to create event\n", when the command was not sent for want of a
// completion event; the caller then gives up as it would had it made the event itself.
bool reported_no_event(const AspiOutcome &outcome);

// INQUIRY (0x12), standard data, 128 bytes into `response`.
AspiCommand build_inquiry(std::uint8_t *response);

// TEST UNIT READY (0x00), no data.
AspiCommand build_test_unit_ready();

// READ TOC (0x43), format 0, addresses as LBA, from track 1, 2048 bytes into `response`.
// Asks for 14 bytes of sense, where the other commands ask for 16.
AspiCommand build_read_toc(std::uint8_t *response);

// READ TOC (0x43), format 1 (session information), addresses as LBA, 12 bytes into `response`.
inline constexpr std::uint32_t SESSION_INFO_BYTES = 12;
AspiCommand build_read_session_info(std::uint8_t *response);

// SET CD SPEED (0xBB), no data: read speed `read_kbs` kB/s (0xFFFF: the drive's maximum), write
// speed left at the maximum.
AspiCommand build_set_cd_speed(std::uint16_t read_kbs);

// READ TOC (0x43), format 5 (CD-Text), `length` bytes into `response`.
AspiCommand build_read_cdtext(std::uint8_t *response, std::uint32_t length);

// READ CD (0xBE), any sector type, user data only: `count` (1..10) sectors of 2352 bytes from
// `lba` into `buffer`. A negative lba goes out in two's complement. Not direct: the caller sets
// `direct` for a buffer the library may write straight into.
AspiCommand build_read_cd(std::uint8_t *buffer, std::int32_t lba, std::int32_t count);
