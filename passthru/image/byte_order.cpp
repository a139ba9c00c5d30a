#include "passthru/image/byte_order.h"

#include <algorithm>
#include <cstdlib>

namespace passthru::image {
namespace {

// Three seconds of each track: past most fade-ins, and little to read at every load.
constexpr std::int32_t kJudgedSectors = 3 * 75;
// A tenth of a second of audio at the least before anything is judged.
constexpr std::uint64_t kFewestSteps = 4410;
// Read with the wrong byte order, music jumps by about 21,800 (a third of the full scale) a sample
// on average, and a quiet low tone still by over 1,000; read the right way, loud music rarely
// reaches 3,000 and its swapped reading is then noise. Full-scale high tones and noise read the
// right way round are rougher than their swapped reading by 2 at most.
constexpr double kLoudStep = 1000;
constexpr double kRougherBy = 4;
constexpr std::size_t kHighByteValues = 32;

int sample_at(const std::uint8_t *p, bool swapped) {
    const int lo = swapped ? p[1] : p[0], hi = swapped ? p[0] : p[1];
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(hi << 8 | lo));
}

}  // namespace

void add_roughness(const std::uint8_t *pcm, std::size_t bytes, Roughness &r) {
    const std::size_t frames = bytes / 4;
    for (std::size_t n = 1; n < frames; ++n) {
        const std::uint8_t *now = pcm + n * 4, *before = now - 4;
        for (int channel = 0; channel < 2; ++channel) {
            r.as_stored += std::abs(sample_at(now + 2 * channel, false) - sample_at(before + 2 * channel, false));
            r.swapped += std::abs(sample_at(now + 2 * channel, true) - sample_at(before + 2 * channel, true));
            r.high_bytes.set(now[2 * channel + 1]);
            r.nonzero_low += now[2 * channel] != 0;
        }
        r.steps += 2;
    }
}

bool looks_byte_swapped(const Roughness &r) {
    if (r.steps < kFewestSteps) return false;
    return r.as_stored / static_cast<double>(r.steps) > kLoudStep && r.as_stored > kRougherBy * r.swapped &&
           r.high_bytes.count() >= kHighByteValues && r.nonzero_low * 64 >= r.steps;
}

std::vector<int> read_swapped_files_swapped(Disc &disc) {
    std::vector<Roughness> by_file(disc.files.size());
    std::vector<std::uint8_t> sectors(std::size_t{kJudgedSectors} * kSectorBytes);
    for (const Track &t : disc.tracks) {
        if (t.mode != TrackMode::audio) continue;
        const auto s = std::find_if(disc.segments.begin(), disc.segments.end(),
                                    [&](const Segment &g) { return g.start <= t.start && t.start < g.start + g.length; });
        if (s == disc.segments.end() || s->kind != SegmentKind::file || s->file_sector_bytes != kSectorBytes) continue;
        const ImageFile &file = disc.files[static_cast<std::size_t>(s->file)];
        if (file.audio || file.big_endian) continue;  // decoded audio, or typed MOTOROLA
        const std::int32_t count = std::min(kJudgedSectors, s->start + s->length - t.start);
        if (!read_sectors(disc, t.start, count, sectors.data())) continue;
        add_roughness(sectors.data(), std::size_t(count) * kSectorBytes, by_file[static_cast<std::size_t>(s->file)]);
    }
    std::vector<int> marked;
    for (std::size_t f = 0; f < disc.files.size(); ++f) {
        if (!looks_byte_swapped(by_file[f])) continue;
        disc.files[f].big_endian = true;
        marked.push_back(static_cast<int>(f));
    }
    return marked;
}

}  // namespace passthru::image
