#include "front/run.h"

#include <cstdio>

#include "cdrom/discovery.h"
#include "cdrom/toc.h"
#include "common/messages.h"
#include "front/options.h"
#include "platform/platform.h"
#include "playback/driver.h"

namespace {

constexpr std::chrono::milliseconds END_POLL_MS{10};

bool playback_ended(const PlayRequest &request) { return request.ended.load(std::memory_order_acquire) != 0; }

// Polls until the driver has ended or `limit` has passed.
void wait_for_end(const PlayRequest &request, std::chrono::milliseconds limit) {
    std::chrono::milliseconds waited{0};
    while (!playback_ended(request) && waited < limit) {
        platform::sleep_ms(END_POLL_MS);
        waited += END_POLL_MS;
    }
}

std::int32_t in_range_or_zero(std::int32_t index, std::int32_t count) {
    return index < 0 || index >= count ? 0 : index;
}

}  // namespace

int run_cddaplay(int argc, const char *const *argv) {
    // Each message reaches a pipe or a log as soon as it is printed, whichever thread prints it.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const Selection selection = parse_options(argc, argv);
    if (selection.usage) {
        std::printf("%s", msg::usage);
        return 1;
    }

    CdromDeviceList *devices = get_cdrom_device();
    if (!devices) {
        std::printf("%s", msg::no_device);
        return 1;
    }
    // With no unit found the first slot, never filled, is still passed on.
    const std::int32_t unit = in_range_or_zero(selection.unit_index, devices->count);
    std::printf(msg::device_line, unit, devices->count);
    const CdromDevice &device = devices->slots[unit];

    CdromToc *toc = get_cdrom_toc(device.ha_id, device.target, device.lun, device.ignore_target_status);
    if (!toc) {
        std::printf("%s", msg::no_toc);
        return 1;
    }
    const std::int32_t track = in_range_or_zero(selection.track_index, toc->track_count);
    std::printf(msg::track_line, track + 1, toc->track_count);

    // Static, not on this frame: after ENTER the run may return while the driver still looks at
    // the request during its last chunk.
    static PlayRequest request;
    request.ha_id = device.ha_id;
    request.target = device.target;
    request.lun = device.lun;
    request.start_lba = toc->entries[track].start_lba;
    request.end_lba = toc->entries[toc->track_count].start_lba;
    request.stop.store(0, std::memory_order_relaxed);
    request.ended.store(0, std::memory_order_relaxed);
    if (!platform::start_thread(&play_thread, &request)) return 1;

    if (std::getchar() == EOF) {
        // No ENTER will come: sleep until the driver says it has ended, without waking meanwhile.
        request.ended.wait(0, std::memory_order_acquire);
    } else {
        request.stop.store(1, std::memory_order_relaxed);
        wait_for_end(request, EXIT_GRACE_MS);
    }
    return 0;
}
