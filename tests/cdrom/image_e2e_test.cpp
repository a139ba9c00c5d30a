// Discovery, the table of contents and sector reads through the real binding, against our
// pass-through library's image back end serving its built-in disc. CTest starts this program in
// the build's bin folder, beside the library, with CDDAPLAY_IMAGES=builtin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cdrom/discovery.h"
#include "cdrom/reader.h"
#include "cdrom/toc.h"
#include "passthru/image/builtin_disc.h"

namespace {

namespace disc = passthru::image::builtin;

std::string printed_by(void (*call)()) {
    ::testing::internal::CaptureStdout();
    call();
    return ::testing::internal::GetCapturedStdout();
}

CdromDevice g_unit;

TEST(BuiltinDisc, IsDiscoveredAsUnitZero) {
    const std::string printed = printed_by([] {
        CdromDeviceList *list = get_cdrom_device();
        ASSERT_NE(list, nullptr);
        ASSERT_GE(list->count, 1);
        g_unit = list->slots[0];
    });
    EXPECT_EQ(printed, "");
    // Adapter 0 belongs to the image back end; its first unit sits at target 0, LUN 0, and claims
    // a SCSI version, so its target status counts.
    EXPECT_EQ(g_unit.ha_id, 0);
    EXPECT_EQ(g_unit.target, 0);
    EXPECT_EQ(g_unit.lun, 0);
    EXPECT_EQ(g_unit.ignore_target_status, 0);
}

TEST(BuiltinDisc, TableOfContentsMatchesTheDisc) {
    CdromToc *toc = nullptr;
    ::testing::internal::CaptureStdout();
    toc = get_cdrom_toc(0, 0, 0, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(toc, nullptr);
    ASSERT_EQ(toc->track_count, disc::kTrackCount);
    for (int i = 0; i < disc::kTrackCount; ++i) {
        EXPECT_EQ(toc->entries[i].start_lba, disc::kTrackStart[i]) << "track " << i + 1;
        EXPECT_EQ(toc->entries[i].is_audio, 1) << "track " << i + 1;
    }
    EXPECT_EQ(toc->entries[disc::kTrackCount].start_lba, disc::kLeadOut);
}

TEST(BuiltinDisc, SectorsReadInGroupsEqualTheDiscBytesToTheLeadOut) {
    ASSERT_EQ(open_cdrom_reader(), 1);
    std::vector<std::uint8_t> got(MAX_READ_SECTORS * SECTOR_BYTES);
    std::vector<std::uint8_t> expected(SECTOR_BYTES);
    // Groups of 7 cross both track boundaries at odd offsets and end with a short group.
    constexpr std::int32_t group = 7;
    int mismatches = 0;
    for (std::int32_t lba = 0; lba < disc::kLeadOut && mismatches < 5; lba += group) {
        const std::int32_t count = std::min(group, disc::kLeadOut - lba);
        std::memset(got.data(), 0xCC, got.size());
        ASSERT_EQ(read_cdrom_sectors(0, 0, 0, got.data(), lba, count), 1) << "lba " << lba;
        for (std::int32_t s = 0; s < count; ++s) {
            disc::sector(lba + s, expected.data());
            if (std::memcmp(got.data() + s * SECTOR_BYTES, expected.data(), SECTOR_BYTES) != 0) {
                ADD_FAILURE() << "sector " << lba + s << " differs from the disc";
                ++mismatches;
            }
        }
        EXPECT_EQ(got[count * SECTOR_BYTES], 0xCC) << "nothing lands past the group";
    }
    close_cdrom_reader();
}

TEST(BuiltinDisc, GroupOfTenEndingAtTheLeadOut) {
    ASSERT_EQ(open_cdrom_reader(), 1);
    std::vector<std::uint8_t> got(MAX_READ_SECTORS * SECTOR_BYTES);
    std::vector<std::uint8_t> expected(SECTOR_BYTES);
    EXPECT_EQ(read_cdrom_sectors(0, 0, 0, got.data(), disc::kLeadOut - 10, 10), 1);
    disc::sector(disc::kLeadOut - 1, expected.data());
    EXPECT_EQ(std::memcmp(got.data() + 9 * SECTOR_BYTES, expected.data(), SECTOR_BYTES), 0);
    close_cdrom_reader();
}

}  // namespace
