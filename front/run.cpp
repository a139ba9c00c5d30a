#include "front/run.h"

#include <cstdio>
#include <optional>

#include "cdrom/audio_range.h"
#include "cdrom/cdtext.h"
#include "cdrom/discovery.h"
#include "cdrom/toc.h"
#include "common/messages.h"
#include "front/listing.h"
#include "front/operands.h"
#include "front/options.h"
#include "front/status_line.h"
#include "platform/platform.h"
#include "playback/driver.h"
#include "playback/wave_device.h"

namespace {

bool in_range(std::int32_t index, std::int32_t count) { return index >= 0 && index < count; }

// The described fallback to the first unit or track, said on standard error when -d or -t asked
// for one that is not there (`asked` is the option's value: "N" of "-dN" or "-d N").
std::int32_t chosen_or_first(std::int32_t index, const char *asked, std::int32_t count, const char *not_there) {
    if (in_range(index, count)) return index;
    if (asked) std::fprintf(stderr, not_there, asked, count);
    return 0;
}

std::int32_t chosen_unit(const Selection &selection, std::int32_t count) {
    return chosen_or_first(selection.unit_index, selection.unit_value, count, msg::no_such_unit);
}

std::int32_t chosen_track(const Selection &selection, std::int32_t count) {
    return chosen_or_first(selection.track_index, selection.track_value, count, msg::no_such_track);
}

// The status line runs only where someone watches it; its thread reads the disc's CD-Text.
bool start_status(StatusLine &status, const CdromDevice &device, const CdromToc &toc, const Player &player) {
    if (!platform::stderr_is_terminal()) return false;
    status.toc = &toc;
    status.player = &player;
    status.ha_id = device.ha_id;
    status.target = device.target;
    status.lun = device.lun;
    return start_status_line(&status);
}


}  // namespace

int run_cddaplay(int argc, const char *const *argv) {
    // Each message reaches a pipe or a log as soon as it is printed, whichever thread prints it.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const Selection selection = parse_options(argc, argv);
    if (selection.usage) {
        std::printf("%s", msg::usage);
        std::fprintf(stderr, "%s", msg::usage_more);
        return 1;
    }
    if (selection.help) {
        std::printf("%s", msg::full_usage);
        return 0;
    }
    const char *image = nullptr;
    if (!take_image_operand(selection, &image)) return 1;

    // Before the first thread: the pass-through library starts its worker with the first command.
    if (!selection.list) wave_output_prepare();
    CdromDeviceList *devices = get_cdrom_device();
    if (!devices) {
        std::printf("%s", msg::no_device);
        hint_no_unit();
        return 1;
    }
    // With no unit found the first slot, never filled, is still passed on.
    const std::int32_t unit = chosen_unit(selection, devices->count);
    if (selection.list) {
        const int status = list_units(*devices, unit, selection);
        if (devices->count == 0) hint_no_unit();
        return status;
    }
    std::printf(msg::device_line, unit, devices->count);
    const CdromDevice &device = devices->slots[unit];

    CdromToc *toc = get_cdrom_toc(device.ha_id, device.target, device.lun, device.ignore_target_status);
    if (!toc) {
        std::printf("%s", msg::no_toc);
        if (devices->count == 0) hint_no_unit();
        else if (image && unit == 0) std::fprintf(stderr, msg::image_unplayable, image, msg::image_refused);
        return 1;
    }
    const bool hidden = hidden_track_chosen(selection, *toc);
    const std::int32_t chosen = hidden ? 0 : chosen_track(selection, toc->track_count);
    // Only the disc's audio is played: data would reach the speakers as full-scale noise.
    std::optional<AudioRange> range = audio_range(*toc, chosen);
    if (!range) {
        std::fprintf(stderr, msg::nothing_to_play, chosen + 1);
        return 1;
    }
    if (range->track_index != chosen)
        std::fprintf(stderr, msg::data_track_skipped, chosen + 1, range->track_index + 1);
    if (hidden) range->start_lba = 0;  // the hidden track is "track 0"
    std::printf(msg::track_line, hidden ? 0 : range->track_index + 1, toc->track_count);

    // Static, not on this frame: after ENTER the run may return while the driver still looks at
    // the request during its last chunk.
    static PlayRequest request;
    request.ha_id = device.ha_id;
    request.target = device.target;
    request.lun = device.lun;
    request.read_speed = selection.read_speed_kbs;
    static Player player;
    player.toc = toc;
    player.first_lba = range->start_lba;
    player.end_lba = end_of_tracks(*toc, *range, selection.track_limit);
    player.repeat = selection.repeat;
    player.request = &request;
    // Ctrl+C from here on ends the playback as q does; keys are read before the first run starts,
    // so the terminal never echoes what is typed while it plays.
    platform::catch_interrupt();
    const bool keys = platform::keys_begin();
    // Static for the same reason: its thread may still be clearing the line when the run returns.
    // It starts first: standard error is captured before the driver's thread can print.
    static StatusLine status;
    const bool status_shown = start_status(status, device, *toc, player);
    if (!start_playback(player)) {
        if (status_shown) stop_status_line(&status);
        platform::keys_end();
        return 1;
    }
    return steer_playback(player, keys, status_shown ? &status : nullptr);
}
