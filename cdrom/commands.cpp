#include "cdrom/commands.h"

#include <cstdio>

#include "cdrom/cdrom_types.h"
#include "common/byte_order.h"
#include "common/messages.h"

namespace {

constexpr std::uint8_t SENSE_BYTES = 16;

AspiCommand command(std::uint8_t opcode, std::uint8_t cdb_length, std::uint8_t *buffer, std::uint32_t length) {
    return {.cdb = {opcode}, .cdb_length = cdb_length, .data = buffer, .data_length = length,
            .sense_length = SENSE_BYTES, .timeout = ASPI_TIMEOUT_MS, .direct = false};
}

}  // namespace

AspiUnit unit_at(std::int32_t ha_id, std::int32_t target, std::int32_t lun) {
    return {static_cast<std::uint8_t>(ha_id), static_cast<std::uint8_t>(target), static_cast<std::uint8_t>(lun)};
}

bool reported_no_event(const AspiOutcome &outcome) {
    if (outcome.end != AspiEnd::no_event) return false;
    std::printf("%s", msg::event_failed);
    return true;
}

AspiCommand build_inquiry(std::uint8_t *response) {
    AspiCommand c = command(0x12, 6, response, INQUIRY_BYTES);
    c.cdb[4] = static_cast<std::uint8_t>(INQUIRY_BYTES);
    return c;
}

AspiCommand build_test_unit_ready() { return command(0x00, 6, nullptr, 0); }

AspiCommand build_read_toc(std::uint8_t *response) {
    AspiCommand c = command(0x43, 10, response, TOC_RESPONSE_BYTES);
    c.sense_length = SENSE_LEN;
    c.cdb[6] = 1;  // from track 1
    put_be16(&c.cdb[7], static_cast<std::uint16_t>(TOC_RESPONSE_BYTES));
    return c;
}

AspiCommand build_read_session_info(std::uint8_t *response) {
    AspiCommand c = command(0x43, 10, response, SESSION_INFO_BYTES);
    c.cdb[2] = 1;  // format 1: sessions
    put_be16(&c.cdb[7], static_cast<std::uint16_t>(SESSION_INFO_BYTES));
    return c;
}

AspiCommand build_set_cd_speed(std::uint16_t read_kbs) {
    AspiCommand c = command(0xBB, 12, nullptr, 0);
    put_be16(&c.cdb[2], read_kbs);
    put_be16(&c.cdb[4], SPEED_MAXIMUM_KBS);  // write speed: unchanged
    return c;
}

AspiCommand build_read_cdtext(std::uint8_t *response, std::uint32_t length) {
    AspiCommand c = command(0x43, 10, response, length);
    c.cdb[2] = 5;  // CD-Text
    put_be16(&c.cdb[7], static_cast<std::uint16_t>(length));
    return c;
}

AspiCommand build_read_cd(std::uint8_t *buffer, std::int32_t lba, std::int32_t count) {
    AspiCommand c = command(0xBE, 12, buffer, static_cast<std::uint32_t>(count * SECTOR_BYTES));
    put_be32(&c.cdb[2], static_cast<std::uint32_t>(lba));
    c.cdb[8] = static_cast<std::uint8_t>(count);  // count <= 10: bytes 6-7 stay 0
    c.cdb[9] = 0x10;                              // user data only
    return c;
}
