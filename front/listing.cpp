#include "front/listing.h"

#include <cstdio>
#include <optional>
#include <string>

#include "cdrom/audio_range.h"
#include "cdrom/cdtext.h"
#include "cdrom/toc.h"
#include "cdrom/unit_status.h"
#include "common/messages.h"
#include "front/player.h"
#include "front/status_line.h"
#include "platform/platform.h"

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

// One line of the track table; `tail` (names, or the hidden track's hint) may carry any character.
void print_track(std::int32_t number, const char *type, const std::string &start, const std::string &length,
                 const std::string &tail) {
    const int size = std::snprintf(nullptr, 0, msg::listing_track, number, type, start.c_str(), length.c_str(), "",
                                   tail.c_str());
    std::string line(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
    std::snprintf(line.data(), line.size(), msg::listing_track, number, type, start.c_str(), length.c_str(), "",
                  tail.c_str());
    line.pop_back();
    platform::write_text(stdout, line);
}

// One line for the unit; whether a disc is in.
bool list_unit(std::int32_t number, const CdromDevice &unit) {
    const CdromUnitStatus status = probe_cdrom_unit(unit);
    std::printf(msg::listing_unit, number, unit.ha_id, unit.target, unit.lun);
    if (status.answered)
        std::printf(msg::listing_identity, status.vendor, status.product, status.revision);
    else
        std::printf("%s", msg::listing_no_answer);
    std::printf("%s", status.disc_in ? msg::listing_disc_in : msg::listing_no_disc);
    if (status.image[0] != '\0') std::printf(msg::listing_image, status.image);
    std::printf("\n");
    return status.disc_in;
}

void list_disc(std::int32_t number, const CdromToc &toc, const CdTextTable &text) {
    const std::int32_t hidden = hidden_track_sectors(toc);
    const std::int32_t first = toc.entries[0].start_lba - hidden;
    const std::int32_t lead_out = toc.entries[toc.track_count].start_lba;
    std::printf(msg::listing_disc, number, toc.track_count, minutes_seconds(lead_out - first).c_str());
    const std::string disc_names = title_and_performer(text.entries[0]);
    // Titles may carry any character: platform::write_text gets them to a console as written.
    if (!disc_names.empty()) platform::write_text(stdout, msg::listing_disc_names + disc_names + "\n");
    std::printf("%s", msg::listing_header);
    if (hidden > 0)
        print_track(0, msg::listing_audio, msf(LEAD_IN_SECTORS), minutes_seconds(hidden), msg::listing_hidden);
    for (std::int32_t i = 0; i < toc.track_count; ++i) {
        const CdromTrack &t = toc.entries[i];
        const auto number_on_disc = static_cast<std::size_t>(i + 1);
        const std::string names =
            number_on_disc < text.entries.size() ? title_and_performer(text.entries[number_on_disc]) : "";
        print_track(i + 1, t.is_audio ? msg::listing_audio : msg::listing_data, msf(t.start_lba + LEAD_IN_SECTORS),
                    minutes_seconds(track_end_lba(toc, i) - t.start_lba), names.empty() ? "" : "  " + names);
    }
}

// The range the same options would play (the track falls back to track 1 as when playing).
void list_would_play(const CdromToc &toc, const Selection &selection) {
    const bool hidden = hidden_track_chosen(selection, toc);
    const std::int32_t chosen =
        !hidden && selection.track_index >= 0 && selection.track_index < toc.track_count ? selection.track_index : 0;
    std::optional<AudioRange> range = audio_range(toc, chosen);
    if (!range) return;
    if (hidden) range->start_lba = 0;
    const std::int32_t end = end_of_tracks(toc, *range, selection.track_limit);
    std::int32_t last = range->track_index;
    while (last + 1 < toc.track_count && toc.entries[last + 1].start_lba < end) ++last;
    std::printf(msg::would_play, hidden ? 0 : range->track_index + 1, last + 1,
                minutes_seconds(end - range->start_lba).c_str(), selection.repeat ? msg::would_play_repeated : "");
}

}  // namespace

std::int32_t hidden_track_sectors(const CdromToc &toc) {
    if (toc.track_count < 1 || !toc.entries[0].is_audio || toc.entries[0].start_lba <= 0) return 0;
    return toc.entries[0].start_lba;
}

bool hidden_track_chosen(const Selection &selection, const CdromToc &toc) {
    return selection.track_index == -1 && selection.track_value && selection.track_value[0] == '0' &&
           hidden_track_sectors(toc) > 0;
}

int list_units(const CdromDeviceList &devices, std::int32_t unit, const Selection &selection) {
    if (devices.count == 0) {
        std::printf("%s", msg::listing_no_unit);
        return 0;
    }
    bool chosen_has_disc = false;
    for (std::int32_t i = 0; i < devices.count; ++i) {
        const bool disc_in = list_unit(i, devices.slots[i]);
        if (i == unit) chosen_has_disc = disc_in;
    }

    const CdromDevice &device = devices.slots[unit];
    if (!chosen_has_disc) {
        std::printf(msg::listing_unit_empty, unit);
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
