#include "cdrom/audio_range.h"

#include <algorithm>

namespace {

// Where the unreadable gap before the last session begins, when that session starts with a data
// track after `lba` (the Enhanced CD layout); nullopt otherwise.
std::optional<std::int64_t> session_gap_after(const CdromToc &toc, std::int32_t lba) {
    const CdromTrack &last_session = toc.last_session_first;
    if (toc.last_session > 1 && last_session.is_audio == 0 && last_session.start_lba > lba)
        return std::int64_t{last_session.start_lba} - SESSION_GAP_SECTORS;
    return std::nullopt;
}

}  // namespace

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
    if (const auto gap = session_gap_after(toc, start)) end = std::min(end, *gap);
    if (end <= start) return std::nullopt;
    return AudioRange{first, start, static_cast<std::int32_t>(end)};
}

std::int32_t track_end_lba(const CdromToc &toc, std::int32_t index) {
    const std::int32_t start = toc.entries[index].start_lba;
    std::int64_t end = toc.entries[index + 1].start_lba;
    if (const auto gap = session_gap_after(toc, start); gap && end >= toc.last_session_first.start_lba)
        end = std::max(std::min(end, *gap), std::int64_t{start});
    return static_cast<std::int32_t>(end);
}
