#include "cdrom/toc.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "aspi/binding.h"
#include "cdrom/commands.h"
#include "cdrom/unit_status.h"
#include "common/byte_order.h"
#include "common/messages.h"

namespace {

AspiBinding g_toc_binding;
CdromToc g_toc;

constexpr std::size_t TOC_HEADER_BYTES = 4;
constexpr std::size_t TOC_DESCRIPTOR_BYTES = 8;
constexpr std::uint8_t CONTROL_DATA_TRACK = 0x04;

// One of the table's messages with its values filled in.
template <typename... Values> std::string formatted(const char *format, Values... values) {
    char text[128];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

enum class Step { ok, failed };

// TEST UNIT READY; the unit must answer ready.
Step check_unit_ready(AspiUnit unit, std::int32_t ignore_target_status) {
    const AspiOutcome outcome = aspi_send(&g_toc_binding, unit, build_test_unit_ready());
    if (reported_no_event(outcome)) return Step::failed;
    const Readiness readiness = readiness_of(outcome, ignore_target_status);
    if (readiness == Readiness::not_ready) std::printf("%s", msg::not_ready);
    return readiness == Readiness::ready ? Step::ok : Step::failed;
}

// READ TOC, parsed into `toc`.
Step read_toc(AspiUnit unit, CdromToc *toc) {
    // Zeroed so that nothing a drive left unwritten can look like an answer.
    std::uint8_t response[TOC_RESPONSE_BYTES] = {};
    const AspiOutcome outcome = aspi_send(&g_toc_binding, unit, build_read_toc(response));
    if (reported_no_event(outcome) || outcome.end != AspiEnd::done) return Step::failed;
    return parse_cdrom_toc(response, sizeof response, toc) ? Step::ok : Step::failed;
}

// The session information. A unit that rejects it, or answers what cannot be right, leaves the
// disc single-session.
void read_sessions(AspiUnit unit, CdromToc *toc) {
    toc->last_session = 1;
    toc->last_session_first = toc->entries[0];
    std::uint8_t response[SESSION_INFO_BYTES] = {};
    const AspiOutcome outcome = aspi_send(&g_toc_binding, unit, build_read_session_info(response));
    if (!reported_no_event(outcome) && outcome.end == AspiEnd::done)
        parse_session_info(response, sizeof response, toc);
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

bool parse_session_info(const std::uint8_t *response, std::size_t length, CdromToc *toc) {
    if (length < SESSION_INFO_BYTES || get_be16(response) + std::size_t{2} < SESSION_INFO_BYTES) return false;
    const std::int32_t last_session = response[3];
    const std::int32_t start = static_cast<std::int32_t>(get_be32(response + 8));
    const std::int32_t lead_out = toc->entries[std::clamp(toc->track_count, 0, CDROM_MAX_TRACKS)].start_lba;
    if (last_session < 1 || start < 0 || start > lead_out) return false;
    toc->last_session = last_session;
    toc->last_session_first.is_audio = (response[5] & CONTROL_DATA_TRACK) ? 0 : 1;
    toc->last_session_first.start_lba = start;
    return true;
}

std::string toc_fault(const CdromToc &toc) {
    const std::int32_t count = toc.track_count;
    for (std::int32_t i = 0; i <= count; ++i) {
        const std::int32_t start = toc.entries[i].start_lba;
        const std::string what = i == count ? msg::toc_lead_out : formatted(msg::toc_track, i + 1);
        if (start < 0) return formatted(msg::toc_negative, what.c_str(), start);
        if (start > MAX_DISC_LBA) return formatted(msg::toc_beyond_100_minutes, what.c_str(), start);
        if (i > 0 && start < toc.entries[i - 1].start_lba)
            return formatted(msg::toc_backwards, what.c_str(), i, start, toc.entries[i - 1].start_lba);
    }
    return {};
}

CdromToc *get_cdrom_toc(std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                        std::int32_t ignore_target_status) {
    if (!bind_aspi(&g_toc_binding)) return nullptr;
    // Read into a table of its own, so a table that is refused never replaces the last good one.
    static CdromToc read_table;
    read_table = g_toc;
    const AspiUnit unit = unit_at(ha_id, target, lun);
    bool read = check_unit_ready(unit, ignore_target_status) == Step::ok && read_toc(unit, &read_table) == Step::ok;
    if (read) {
        const std::string fault = toc_fault(read_table);
        if (!fault.empty()) {
            std::fprintf(stderr, msg::toc_refused, fault.c_str());
            read = false;
        }
    }
    if (read) read_sessions(unit, &read_table);
    release_aspi(&g_toc_binding);
    if (!read) return nullptr;
    g_toc = read_table;
    return &g_toc;
}
