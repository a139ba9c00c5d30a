#include "passthru/image/disc.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "passthru/image/builtin_disc.h"

namespace passthru::image {
namespace {

const Segment *segment_of(const Disc &disc, std::int32_t lba) {
    auto after = std::upper_bound(disc.segments.begin(), disc.segments.end(), lba,
                                  [](std::int32_t l, const Segment &s) { return l < s.start; });
    if (after == disc.segments.begin()) return nullptr;
    const Segment &s = *(after - 1);
    return lba < s.start + s.length ? &s : nullptr;
}

void swap_sample_bytes(std::uint8_t *p, std::size_t bytes) {
    for (std::size_t i = 0; i + 1 < bytes; i += 2) std::swap(p[i], p[i + 1]);
}

bool read_file_run(const ImageFile &file, std::int64_t file_sector, std::int32_t count, std::uint8_t *out) {
    std::ifstream in(file.path, std::ios::binary);
    if (!in) return false;
    const std::streamoff bytes = std::streamoff{count} * kSectorBytes;
    in.seekg(static_cast<std::streamoff>(file_sector) * kSectorBytes);
    in.read(reinterpret_cast<char *>(out), bytes);
    if (in.gcount() != bytes) return false;
    if (file.big_endian) swap_sample_bytes(out, static_cast<std::size_t>(bytes));
    return true;
}

}  // namespace

bool read_sectors(const Disc &disc, std::int32_t first, std::int32_t count, std::uint8_t *out) {
    while (count > 0) {
        const Segment *s = segment_of(disc, first);
        if (!s) return false;
        const std::int32_t run = std::min(count, s->start + s->length - first);
        const std::size_t bytes = static_cast<std::size_t>(run) * kSectorBytes;
        switch (s->kind) {
        case SegmentKind::silence: std::memset(out, 0, bytes); break;
        case SegmentKind::unreadable: return false;
        case SegmentKind::builtin:
            for (std::int32_t i = 0; i < run; ++i) builtin::sector(first + i, out + std::size_t(i) * kSectorBytes);
            break;
        case SegmentKind::file:
            if (s->file < 0 || s->file >= static_cast<int>(disc.files.size())) return false;
            if (!read_file_run(disc.files[s->file], s->file_sector + (first - s->start), run, out)) return false;
            break;
        }
        first += run;
        count -= run;
        out += bytes;
    }
    return true;
}

const Track &last_session_first_track(const Disc &disc) {
    const std::uint8_t last = disc.tracks.back().session;
    for (const Track &t : disc.tracks)
        if (t.session == last) return t;
    return disc.tracks.front();
}

const Track &track_at(const Disc &disc, std::int32_t lba) {
    const Track *found = &disc.tracks.front();
    for (const Track &t : disc.tracks)
        if (t.start <= lba) found = &t;
    return *found;
}

Disc builtin_disc() {
    Disc disc;
    for (int t = 0; t < builtin::kTrackCount; ++t) disc.tracks.push_back({t + 1, builtin::kTrackStart[t], 0x00});
    disc.lead_out = builtin::kLeadOut;
    disc.segments.push_back({0, builtin::kLeadOut, SegmentKind::builtin, -1, 0});
    return disc;
}

}  // namespace passthru::image
