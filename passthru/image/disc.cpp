#include "passthru/image/disc.h"

#include <algorithm>
#include <cstring>

#include "passthru/image/builtin_disc.h"
#include "passthru/image/image_source.h"
#include "passthru/messages.h"

namespace passthru::image {
namespace {

constexpr int kUserDataOffset = 16;  // after the 12 sync bytes and the 4-byte header

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

std::uint8_t bcd(int v) { return static_cast<std::uint8_t>((v / 10) << 4 | (v % 10)); }

// Sync pattern and header of a data sector as a drive reads it raw.
void put_sync_and_header(std::uint8_t *sector, std::int32_t lba, int mode) {
    sector[0] = 0x00;
    std::memset(sector + 1, 0xFF, 10);
    sector[11] = 0x00;
    const std::int32_t frames = lba + 150;
    sector[12] = bcd(frames / (60 * 75));
    sector[13] = bcd(frames / 75 % 60);
    sector[14] = bcd(frames % 75);
    sector[15] = static_cast<std::uint8_t>(mode);
}

// Spreads `run` sectors of `stored` bytes, read contiguously into the end of `out`, to their place
// in 2352-byte raw sectors, front to back (each move lands before what is still to be moved).
void expand_data_sectors(std::uint8_t *out, std::int32_t run, int stored, std::int32_t lba) {
    const std::uint8_t *packed = out + std::size_t(run) * (kSectorBytes - stored);
    for (std::int32_t i = 0; i < run; ++i) {
        std::uint8_t *sector = out + std::size_t(i) * kSectorBytes;
        std::memmove(sector + kUserDataOffset, packed + std::size_t(i) * stored, std::size_t(stored));
        put_sync_and_header(sector, lba + i, stored == 2048 ? 1 : 2);
        std::memset(sector + kUserDataOffset + stored, 0, std::size_t(kSectorBytes - kUserDataOffset - stored));
    }
}

bool read_file_run(const ImageFile &file, const Segment &s, std::int32_t first, std::int32_t run, std::uint8_t *out,
                   std::string &why) {
    if (!file.source) {
        why = msg::file_not_open;
        return false;
    }
    const std::size_t stored = static_cast<std::size_t>(s.file_sector_bytes);
    const std::size_t bytes = std::size_t(run) * stored;
    const std::uint64_t offset = std::uint64_t(s.file_sector + (first - s.start)) * stored;
    // Data sectors stored short are read into the end of the buffer and spread out after.
    std::uint8_t *into = out + std::size_t(run) * kSectorBytes - bytes;
    std::size_t got = 0;
    if (!file.source->read(offset, into, bytes, got, why)) return false;
    const std::uint64_t expected = std::min<std::uint64_t>(bytes, file.data_bytes > offset ? file.data_bytes - offset : 0);
    // An audio file's decoder says itself where its samples end (a file cut short plays as far as
    // it goes); a raw file that gives less than it held at loading has changed under us.
    if (got < expected && !file.audio) {
        why = msg::file_shrunk;
        return false;
    }
    std::memset(into + got, 0, bytes - got);  // the padding after a file's last whole sector
    if (file.big_endian) swap_sample_bytes(into, got);
    if (stored != std::size_t(kSectorBytes)) expand_data_sectors(out, run, s.file_sector_bytes, first);
    return true;
}

}  // namespace

bool read_sectors(const Disc &disc, std::int32_t first, std::int32_t count, std::uint8_t *out, ReadFailure *failure) {
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
        case SegmentKind::file: {
            if (s->file < 0 || s->file >= static_cast<int>(disc.files.size())) return false;
            std::string why;
            if (!read_file_run(disc.files[s->file], *s, first, run, out, why)) {
                if (failure) *failure = {s->file, why};
                return false;
            }
            break;
        }
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
