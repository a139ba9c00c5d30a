// The built-in disc's bytes, pinned: the end-to-end tests compute what they expect with the same
// generator the virtual drive uses, so a change to the generator must show up here.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "passthru/image/builtin_disc.h"

namespace {

namespace builtin = passthru::image::builtin;

struct Pinned {
    std::int32_t lba;
    std::array<std::uint8_t, 8> head;  // the sector's first two frames
    std::array<std::uint8_t, 8> tail;  // and its last two
};

TEST(BuiltinDisc, SectorsAtTrackBoundariesKeepTheirBytes) {
    const Pinned pinned[] = {
        {0, {0x90, 0xE8, 0x00, 0x00, 0x80, 0xE9, 0xF1, 0x00}, {0xB0, 0xF5, 0xEA, 0xF2, 0xC0, 0xF4, 0xDB, 0xF3}},
        {749, {0xDD, 0xF3, 0x40, 0x0B, 0xCE, 0xF4, 0x31, 0x0C}, {0x7E, 0xEA, 0x2A, 0xFE, 0x82, 0xE9, 0x1B, 0xFF}},
        {750, {0x9E, 0xE8, 0x10, 0xFF, 0xDE, 0xE9, 0x51, 0x00}, {0x1E, 0xFA, 0x9A, 0xED, 0xD2, 0xF8, 0xDB, 0xEE}},
        {1349, {0x95, 0xF7, 0x10, 0x0E, 0xD4, 0xF8, 0x51, 0x0F}, {0x14, 0xEB, 0x9A, 0xFC, 0xD5, 0xE9, 0xDB, 0xFD}},
        {1350, {0x96, 0xE8, 0x10, 0xFF, 0x74, 0xEA, 0xF1, 0x00}, {0xD4, 0x02, 0x5A, 0xEC, 0xF5, 0x00, 0x7B, 0xEA}},
        {2249, {0x19, 0xFF, 0x90, 0x15, 0xFC, 0x00, 0x71, 0x17}, {0x5C, 0xEC, 0x5A, 0xFB, 0x78, 0xEA, 0x3B, 0xFD}},
    };
    std::uint8_t sector[2352];
    for (const Pinned &p : pinned) {
        SCOPED_TRACE(p.lba);
        builtin::sector(p.lba, sector);
        EXPECT_TRUE(std::equal(p.head.begin(), p.head.end(), sector));
        EXPECT_TRUE(std::equal(p.tail.begin(), p.tail.end(), sector + 2344));
    }
}

TEST(BuiltinDisc, EveryFrameFollowsTheToneAndItsMarks) {
    std::uint8_t sector[2352];
    for (std::int32_t lba : {0, 333, 1000, 2249}) {
        builtin::sector(lba, sector);
        const std::int32_t period = builtin::kPeriodFrames[builtin::track_index_of(lba)];
        for (int i = 0; i < builtin::kFramesPerSector; ++i) {
            const std::int64_t frame = std::int64_t{lba} * builtin::kFramesPerSector + i;
            const auto left = static_cast<std::int16_t>(sector[4 * i] | sector[4 * i + 1] << 8);
            const auto right = static_cast<std::int16_t>(sector[4 * i + 2] | sector[4 * i + 3] << 8);
            ASSERT_EQ(left, static_cast<std::int16_t>((builtin::triangle(frame, period) & ~0xF) |
                                                      ((lba >> (4 * (i % 5))) & 0xF)));
            ASSERT_EQ(right, static_cast<std::int16_t>((builtin::triangle(frame + period / 4, period) & ~0xF) |
                                                       (i & 0xF)));
        }
    }
}

}  // namespace
