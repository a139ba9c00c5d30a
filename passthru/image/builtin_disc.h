#pragma once
// The built-in disc: three short audio tracks synthesized in memory, 30 s in all, first track at
// LBA 0. Each track is a triangle tone of its own pitch; the lowest four bits of every left sample
// carry one nibble of the sector's LBA and those of every right sample the frame's position in the
// sector, so no two sectors are equal (the marks are far below hearing).
//
// Self-contained and integer-only, so a test computes the expected bytes of any sector with the
// very same code, on every platform.

#include <cstdint>

namespace passthru::image::builtin {

inline constexpr int kTrackCount = 3;
inline constexpr std::int32_t kTrackStart[kTrackCount] = {0, 750, 1350};  // 10 s, 8 s, 12 s
inline constexpr std::int32_t kLeadOut = 2250;
// Tone period of each track in frames: 441 Hz, 588 Hz, 882 Hz at 44100 frames/s.
inline constexpr std::int32_t kPeriodFrames[kTrackCount] = {100, 75, 50};
inline constexpr std::int32_t kAmplitude = 6000;
inline constexpr int kFramesPerSector = 588;

inline int track_index_of(std::int32_t lba) {
    int t = 0;
    while (t + 1 < kTrackCount && lba >= kTrackStart[t + 1]) ++t;
    return t;
}

// -A at phase 0, rising to +A at half the period, falling back to -A.
inline std::int32_t triangle(std::int64_t frame, std::int32_t period) {
    const std::int64_t phase = frame % period;
    const std::int64_t a = kAmplitude;
    return static_cast<std::int32_t>(2 * phase < period ? -a + 4 * a * phase / period
                                                        : 3 * a - 4 * a * phase / period);
}

inline void put_le16(std::uint8_t *p, std::int32_t sample) {
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(sample));
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline constexpr std::int32_t kMaxPeriodFrames = 100;
static_assert(kPeriodFrames[0] <= kMaxPeriodFrames && kPeriodFrames[1] <= kMaxPeriodFrames &&
              kPeriodFrames[2] <= kMaxPeriodFrames);

// One period of each track's tone, as triangle() gives it, so a sector walks a table instead of
// dividing twice per frame.
struct ToneTables {
    std::int32_t wave[kTrackCount][kMaxPeriodFrames];
};

inline const ToneTables &tone_tables() {
    static const ToneTables tables = [] {
        ToneTables t{};
        for (int track = 0; track < kTrackCount; ++track)
            for (std::int32_t phase = 0; phase < kPeriodFrames[track]; ++phase)
                t.wave[track][phase] = triangle(phase, kPeriodFrames[track]);
        return t;
    }();
    return tables;
}

// The 2352 bytes of sector `lba` (0 <= lba < kLeadOut): 588 frames, left then right, 16-bit LE.
// Frame i of the sector is frame lba * 588 + i of the disc: its left sample is the tone at that
// frame, its right sample the tone a quarter period later, each with its mark in the low 4 bits.
inline void sector(std::int32_t lba, std::uint8_t *out) {
    const int track = track_index_of(lba);
    const std::int32_t period = kPeriodFrames[track];
    const std::int32_t *wave = tone_tables().wave[track];
    const std::int64_t first_frame = std::int64_t{lba} * kFramesPerSector;
    std::int32_t left_phase = static_cast<std::int32_t>(first_frame % period);
    std::int32_t right_phase = static_cast<std::int32_t>((first_frame + period / 4) % period);
    int nibble = 0;  // i % 5
    for (int i = 0; i < kFramesPerSector; ++i) {
        const std::int32_t lba_nibble = (lba >> (4 * nibble)) & 0xF;
        put_le16(out + 4 * i, (wave[left_phase] & ~0xF) | lba_nibble);
        put_le16(out + 4 * i + 2, (wave[right_phase] & ~0xF) | (i & 0xF));
        if (++left_phase == period) left_phase = 0;
        if (++right_phase == period) right_phase = 0;
        if (++nibble == 5) nibble = 0;
    }
}

}  // namespace passthru::image::builtin
