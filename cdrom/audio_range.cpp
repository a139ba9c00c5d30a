#include "cdrom/audio_range.h"

#include <algorithm>

std::optional<AudioRange> audio_range(const CdromToc &toc, std::int32_t chosen_index) {
    const std::int32_t count = std::clamp(toc.track_count, 0, CDROM_MAX_TRACKS);
    std::int32_t first = std::max(chosen_index, 0);
    while (first < count && toc.entries[first].is_audio == 0) ++first;
    if (first >= count) return std::nullopt;

    const std::int32_t start = toc.entries[first].start_lba;
    std::int64_t end = toc.entries[count].start_lba;
    for (std::int32_t i = first + 1; i < count; ++i) {
        if (toc.entries[i].is_audio == 0) {
            end = toc.entries[i].start_lba;
            break;
        }
    }
    const CdromTrack &last_session = toc.last_session_first;
    if (toc.last_session > 1 && last_session.is_audio == 0 && last_session.start_lba > start)
        end = std::min(end, std::int64_t{last_session.start_lba} - SESSION_GAP_SECTORS);
    if (end <= start) return std::nullopt;
    return AudioRange{first, start, static_cast<std::int32_t>(end)};
}
