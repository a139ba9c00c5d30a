#include "cdrom/toc.h"

#include <algorithm>
#include <cstdio>

#include "aspi/binding.h"
#include "cdrom/commands.h"
#include "common/byte_order.h"
#include "common/messages.h"

namespace {

AspiBinding g_toc_binding;
CdromToc g_toc;

constexpr std::size_t TOC_HEADER_BYTES = 4;
constexpr std::size_t TOC_DESCRIPTOR_BYTES = 8;
constexpr std::uint8_t CONTROL_DATA_TRACK = 0x04;

enum class Step { ok, failed };

// TEST UNIT READY on its own event; the unit must answer ready.
Step check_unit_ready(std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                      std::int32_t ignore_target_status) {
    platform::EventHandle event = create_command_event();
    if (!event) return Step::failed;
    SRB_ExecSCSICmd srb;
    build_test_unit_ready(&srb, ha_id, target, lun, event);
    const ExchangeOutcome outcome = aspi_exchange(&g_toc_binding, &srb, event);
    platform::close_event(event);
    if (outcome == ExchangeOutcome::timed_out) return Step::failed;
    const bool status_counts = ignore_target_status != 1;
    if (srb.SRB_Status != SS_COMP || (status_counts && srb.SRB_TargStat != 0)) {
        std::printf("%s", msg::not_ready);
        return Step::failed;
    }
    return Step::ok;
}

// READ TOC on a second event, parsed into the table.
Step read_toc(std::int32_t ha_id, std::int32_t target, std::int32_t lun) {
    platform::EventHandle event = create_command_event();
    if (!event) return Step::failed;
    // Zeroed so that nothing a drive left unwritten can look like an answer.
    std::uint8_t response[TOC_RESPONSE_BYTES] = {};
    SRB_ExecSCSICmd srb;
    build_read_toc(&srb, ha_id, target, lun, response, event);
    const ExchangeOutcome outcome = aspi_exchange(&g_toc_binding, &srb, event);
    platform::close_event(event);
    if (outcome == ExchangeOutcome::timed_out || srb.SRB_Status != SS_COMP) return Step::failed;
    return parse_cdrom_toc(response, sizeof response, &g_toc) ? Step::ok : Step::failed;
}

}  // namespace

bool parse_cdrom_toc(const std::uint8_t *response, std::size_t length, CdromToc *toc) {
    if (length < TOC_HEADER_BYTES) return false;
    // The data length counts the bytes after itself.
    length = std::min(length, std::size_t{2} + get_be16(response));
    if (length < TOC_HEADER_BYTES + TOC_DESCRIPTOR_BYTES) return false;
    const std::size_t present = (length - TOC_HEADER_BYTES) / TOC_DESCRIPTOR_BYTES;
    const std::size_t last_track = response[3];
    const std::size_t track_count = std::min({last_track, std::size_t{CDROM_MAX_TRACKS}, present - 1});

    toc->track_count = static_cast<std::int32_t>(track_count);
    for (std::size_t i = 0; i <= track_count; ++i) {
        const std::uint8_t *descriptor = response + TOC_HEADER_BYTES + TOC_DESCRIPTOR_BYTES * i;
        toc->entries[i].is_audio = (descriptor[1] & CONTROL_DATA_TRACK) ? 0 : 1;
        toc->entries[i].start_lba = static_cast<std::int32_t>(get_be32(descriptor + 4));
    }
    return true;
}

CdromToc *get_cdrom_toc(std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                        std::int32_t ignore_target_status) {
    if (!bind_aspi(&g_toc_binding)) return nullptr;
    const bool read = check_unit_ready(ha_id, target, lun, ignore_target_status) == Step::ok &&
                      read_toc(ha_id, target, lun) == Step::ok;
    release_aspi(&g_toc_binding);
    return read ? &g_toc : nullptr;
}
