#include "front/listing.h"

#include <cstdio>
#include <optional>
#include <string>

#include "cdrom/cdtext.h"
#include "cdrom/toc.h"
#include "cdrom/unit_status.h"
#include "common/messages.h"
#include "front/player.h"

namespace {

constexpr std::int32_t LEAD_IN_SECTORS = 150;

// mm:ss:ff of a number of sectors (75 frames a second).
std::string msf(std::int64_t sectors) {
    const char *sign = sectors < 0 ? "-" : "";
    if (sectors < 0) sectors = -sectors;
    char text[32];
    std::snprintf(text, sizeof text, "%s%02lld:%02lld:%02lld", sign, static_cast<long long>(sectors / 4500),
                  static_cast<long long>(sectors / 75 % 60), static_cast<long long>(sectors % 75));
    return text;
}

// One line for the unit; whether a disc is in.
bool list_unit(std::int32_t number, const CdromDevice &unit) {
    const CdromUnitStatus status = probe_cdrom_unit(unit);
    std::printf("unit %d: adapter %d target %d lun %d  ", number, unit.ha_id, unit.target, unit.lun);
    if (status.answered)
        std::printf("%s %s %s  ", status.vendor, status.product, status.revision);
    else
        std::printf("(no answer)  ");
    std::printf("%s\n", status.disc_in ? "disc in" : "no disc");
    return status.disc_in;
}

void list_disc(std::int32_t number, const CdromToc &toc, const CdTextTable &text) {
    const std::int32_t first = toc.entries[0].start_lba;
    const std::int32_t lead_out = toc.entries[toc.track_count].start_lba;
    std::printf("\nunit %d: %d tracks, %s\n", number, toc.track_count, msf(lead_out - first).c_str());
    const std::string disc_names = title_and_performer(text.entries[0]);
    if (!disc_names.empty()) std::printf("disc: %s\n", disc_names.c_str());
    std::printf("track  type   start     length\n");
    for (std::int32_t i = 0; i < toc.track_count; ++i) {
        const CdromTrack &t = toc.entries[i];
        const auto number_on_disc = static_cast<std::size_t>(i + 1);
        const std::string names =
            number_on_disc < text.entries.size() ? title_and_performer(text.entries[number_on_disc]) : "";
        std::printf("%5d  %-5s  %s  %s%s%s\n", i + 1, t.is_audio ? "audio" : "data",
                    msf(t.start_lba + LEAD_IN_SECTORS).c_str(), msf(toc.entries[i + 1].start_lba - t.start_lba).c_str(),
                    names.empty() ? "" : "  ", names.c_str());
    }
}

// The range the same options would play (the track falls back to track 1 as when playing).
void list_would_play(const CdromToc &toc, const Selection &selection) {
    const std::int32_t chosen = selection.track_index >= 0 && selection.track_index < toc.track_count ? selection.track_index : 0;
    const std::optional<AudioRange> range = audio_range(toc, chosen);
    if (!range) return;
    const std::int32_t end = end_of_tracks(toc, *range, selection.track_limit);
    std::int32_t last = range->track_index;
    while (last + 1 < toc.track_count && toc.entries[last + 1].start_lba < end) ++last;
    std::printf(msg::would_play, range->track_index + 1, last + 1, msf(end - range->start_lba).c_str(),
                selection.repeat ? msg::would_play_repeated : "");
}

}  // namespace

int list_units(const CdromDeviceList &devices, std::int32_t unit, const Selection &selection) {
    if (devices.count == 0) {
        std::printf("no CD-ROM unit found\n");
        return 0;
    }
    bool chosen_has_disc = false;
    for (std::int32_t i = 0; i < devices.count; ++i) {
        const bool disc_in = list_unit(i, devices.slots[i]);
        if (i == unit) chosen_has_disc = disc_in;
    }

    const CdromDevice &device = devices.slots[unit];
    if (!chosen_has_disc) {
        std::printf("\nunit %d: no disc\n", unit);
        return 0;
    }
    const CdromToc *toc = get_cdrom_toc(device.ha_id, device.target, device.lun, device.ignore_target_status);
    if (!toc) {
        std::printf("%s", msg::no_toc);
        return 1;
    }
    list_disc(unit, *toc, read_cdrom_cdtext(device.ha_id, device.target, device.lun));
    list_would_play(*toc, selection);
    return 0;
}
