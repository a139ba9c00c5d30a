#include "cdrom/commands.h"

#include <cstdio>
#include <cstring>

#include "cdrom/cdrom_types.h"
#include "common/byte_order.h"
#include "common/messages.h"

namespace {

constexpr std::uint8_t SENSE_BYTES = 16;

void fill_exec(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
               std::uint8_t *buffer, std::uint32_t length, std::uint8_t cdb_length,
               platform::EventHandle event) {
    std::memset(srb, 0, sizeof *srb);
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = static_cast<std::uint8_t>(ha_id);
    srb->SRB_Flags = buffer ? SRB_DIR_IN | SRB_EVENT_NOTIFY : SRB_EVENT_NOTIFY;
    srb->SRB_Target = static_cast<std::uint8_t>(target);
    srb->SRB_Lun = static_cast<std::uint8_t>(lun);
    srb->SRB_BufLen = length;
    srb->SRB_BufPointer = buffer;
    srb->SRB_SenseLen = SENSE_BYTES;
    srb->SRB_CDBLen = cdb_length;
    srb->SRB_PostProc = event;
}

}  // namespace

platform::EventHandle create_command_event() {
    platform::EventHandle event = platform::create_event();
    if (!event) std::printf("%s", msg::event_failed);
    return event;
}

void build_inquiry(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                   std::uint8_t *response, platform::EventHandle event) {
    fill_exec(srb, ha_id, target, lun, response, INQUIRY_BYTES, 6, event);
    srb->CDBByte[0] = 0x12;
    srb->CDBByte[4] = static_cast<std::uint8_t>(INQUIRY_BYTES);
}

void build_test_unit_ready(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target,
                           std::int32_t lun, platform::EventHandle event) {
    fill_exec(srb, ha_id, target, lun, nullptr, 0, 6, event);
    srb->CDBByte[0] = 0x00;
}

void build_read_toc(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                    std::uint8_t *response, platform::EventHandle event) {
    fill_exec(srb, ha_id, target, lun, response, TOC_RESPONSE_BYTES, 10, event);
    srb->SRB_SenseLen = SENSE_LEN;
    srb->CDBByte[0] = 0x43;
    srb->CDBByte[6] = 1;  // from track 1
    put_be16(&srb->CDBByte[7], static_cast<std::uint16_t>(TOC_RESPONSE_BYTES));
}

void build_read_session_info(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                             std::uint8_t *response, platform::EventHandle event) {
    fill_exec(srb, ha_id, target, lun, response, SESSION_INFO_BYTES, 10, event);
    srb->CDBByte[0] = 0x43;
    srb->CDBByte[2] = 1;  // format 1: sessions
    put_be16(&srb->CDBByte[7], static_cast<std::uint16_t>(SESSION_INFO_BYTES));
}

void build_set_cd_speed(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                        std::uint16_t read_kbs, platform::EventHandle event) {
    fill_exec(srb, ha_id, target, lun, nullptr, 0, 12, event);
    srb->CDBByte[0] = 0xBB;
    put_be16(&srb->CDBByte[2], read_kbs);
    put_be16(&srb->CDBByte[4], SPEED_MAXIMUM_KBS);  // write speed: unchanged
}

void build_read_cdtext(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                       std::uint8_t *response, std::uint32_t length, platform::EventHandle event) {
    fill_exec(srb, ha_id, target, lun, response, length, 10, event);
    srb->CDBByte[0] = 0x43;
    srb->CDBByte[2] = 5;  // CD-Text
    put_be16(&srb->CDBByte[7], static_cast<std::uint16_t>(length));
}

void build_read_cd(SRB_ExecSCSICmd *srb, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                   std::uint8_t *buffer, std::int32_t lba, std::int32_t count, platform::EventHandle event) {
    fill_exec(srb, ha_id, target, lun, buffer, static_cast<std::uint32_t>(count * SECTOR_BYTES), 12, event);
    srb->CDBByte[0] = 0xBE;
    put_be32(&srb->CDBByte[2], static_cast<std::uint32_t>(lba));
    srb->CDBByte[8] = static_cast<std::uint8_t>(count);  // count <= 10: bytes 6-7 stay 0
    srb->CDBByte[9] = 0x10;                              // user data only
}
