#pragma once
// One builder per SCSI command the program sends. Each zeroes the whole SRB_ExecSCSICmd and fills
// it for one unit, with SRB_EVENT_NOTIFY and `event` in SRB_PostProc, ready for aspi_exchange.
// Judging the answer is the caller's business. Only the low 8 bits of ha_id, target and lun reach
// the request. Buffers are the caller's and must outlive the exchange.

#include <cstdint>

#include "aspi/aspi32.h"
#include "common/cd_speed.h"
#include "platform/platform.h"

inline constexpr std::uint32_t INQUIRY_BYTES = 128;
inline constexpr std::uint32_t TOC_RESPONSE_BYTES = 2048;

// A completion event for one command, or one adapter's INQUIRYs (auto-reset, unsignalled); the caller
// closes it. Null after printing "fail to create event\n".
platform::EventHandle create_command_event();

// INQUIRY (0x12), standard data, 128 bytes into `response`.
void build_inquiry(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                   std::uint8_t *response, platform::EventHandle event);

// TEST UNIT READY (0x00), no data.
void build_test_unit_ready(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target,
                           std::int32_t lun, platform::EventHandle event);

// READ TOC (0x43), format 0, addresses as LBA, from track 1, 2048 bytes into `response`.
// Asks for 14 bytes of sense, where the other commands ask for 16.
void build_read_toc(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                    std::uint8_t *response, platform::EventHandle event);

// READ TOC (0x43), format 1 (session information), addresses as LBA, 12 bytes into `response`.
inline constexpr std::uint32_t SESSION_INFO_BYTES = 12;
void build_read_session_info(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                             std::uint8_t *response, platform::EventHandle event);

// SET CD SPEED (0xBB), no data: read speed `read_kbs` kB/s (0xFFFF: the drive's maximum), write
// speed left at the maximum.
void build_set_cd_speed(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                        std::uint16_t read_kbs, platform::EventHandle event);

// READ TOC (0x43), format 5 (CD-Text), `length` bytes into `response`.
void build_read_cdtext(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                       std::uint8_t *response, std::uint32_t length, platform::EventHandle event);

// READ CD (0xBE), any sector type, user data only: `count` (1..10) sectors of 2352 bytes from
// `lba` into `buffer`. A negative lba goes out in two's complement.
void build_read_cd(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                   std::uint8_t *buffer, std::int32_t lba, std::int32_t count, platform::EventHandle event);
