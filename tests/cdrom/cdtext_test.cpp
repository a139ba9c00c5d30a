// CD-Text from the virtual drive's pack writer through the program's parser, whole and damaged.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cdrom/cdtext.h"
#include "common/byte_order.h"
#include "common/cdtext_crc.h"
#include "passthru/image/cdtext_packs.h"

namespace {

using passthru::image::Disc;

Disc disc_with_text() {
    Disc d;
    d.text = {"Caf\xE9 Songs", "The Testers", ""};  // ISO 8859-1, as the drive keeps it
    d.tracks.push_back({1, 0, 0x00, passthru::image::TrackMode::audio, 1, {"Opening", "The Testers", ""}});
    d.tracks.push_back({2, 750, 0x00, passthru::image::TrackMode::audio, 1, {"A second title long enough to span packs", "The Testers", ""}});
    d.tracks.push_back({3, 1350, 0x00, passthru::image::TrackMode::audio, 1, {"", "", ""}});
    d.tracks.push_back({4, 1500, 0x00, passthru::image::TrackMode::audio, 1, {"Na\xEFve", "Someone Else", ""}});
    d.lead_out = 2250;
    return d;
}

// The drive's READ TOC format 5 answer: header, then the packs.
std::vector<std::uint8_t> response_of(const std::vector<std::uint8_t> &packs) {
    std::vector<std::uint8_t> r(4 + packs.size());
    put_be16(r.data(), static_cast<std::uint16_t>(r.size() - 2));
    std::copy(packs.begin(), packs.end(), r.begin() + 4);
    return r;
}

CdTextTable parse(const std::vector<std::uint8_t> &response) { return parse_cdtext(response.data(), response.size()); }

TEST(CdText, WrittenPacksReadBackAsUtf8WithTheSameAsPreviousMark) {
    const auto packs = passthru::image::encode_cdtext_packs(disc_with_text());
    ASSERT_EQ(packs.size() % CDTEXT_PACK_BYTES, 0u);
    // The performer of track 2 equals track 1's: written as the one-TAB mark.
    bool tab_written = false;
    for (std::size_t at = 0; at < packs.size(); at += CDTEXT_PACK_BYTES)
        for (std::size_t i = 4; i < 16; ++i) tab_written |= packs[at] == 0x81 && packs[at + i] == '\t';
    EXPECT_TRUE(tab_written);

    const CdTextTable t = parse(response_of(packs));
    EXPECT_EQ(t.entries[0].title, "Caf\xC3\xA9 Songs");
    EXPECT_EQ(t.entries[0].performer, "The Testers");
    EXPECT_EQ(t.entries[1].title, "Opening");
    EXPECT_EQ(t.entries[2].title, "A second title long enough to span packs");
    EXPECT_EQ(t.entries[2].performer, "The Testers");
    EXPECT_EQ(t.entries[3].title, "");
    EXPECT_EQ(t.entries[4].title, "Na\xC3\xAFve");
    EXPECT_EQ(t.entries[4].performer, "Someone Else");
    EXPECT_EQ(title_and_performer(t.entries[4]), "Na\xC3\xAFve - Someone Else");
    EXPECT_EQ(t.entries[5].title, "");

    // A disc without text: no packs, and nothing parsed from a bare header.
    Disc plain = disc_with_text();
    plain.text = {};
    for (auto &track : plain.tracks) track.text = {};
    EXPECT_TRUE(passthru::image::encode_cdtext_packs(plain).empty());
    EXPECT_TRUE(parse(response_of({})).empty());
}

TEST(CdText, APackFailingItsCrcTakesOnlyTheStringsItTouched) {
    const auto packs = passthru::image::encode_cdtext_packs(disc_with_text());
    // Find the title pack in which track 2's title continues (character position > 0).
    std::size_t damaged = packs.size();
    for (std::size_t at = 0; at < packs.size(); at += CDTEXT_PACK_BYTES)
        if (packs[at] == 0x80 && packs[at + 1] == 2 && (packs[at + 3] & 0x0F) > 0) damaged = at;
    ASSERT_LT(damaged, packs.size());
    auto broken = packs;
    broken[damaged + 7] ^= 0x20;  // one bit of text flipped: the CRC no longer matches

    const CdTextTable t = parse(response_of(broken));
    EXPECT_EQ(t.entries[2].title, "") << "a string with a piece missing is not shown";
    EXPECT_EQ(t.entries[1].title, "Opening");
    EXPECT_EQ(t.entries[0].performer, "The Testers");
    EXPECT_EQ(t.entries[4].performer, "Someone Else");

    // Every pack damaged: nothing at all.
    auto all_broken = packs;
    for (std::size_t at = 0; at < packs.size(); at += CDTEXT_PACK_BYTES) all_broken[at + 16] ^= 0xFF;
    EXPECT_TRUE(parse(response_of(all_broken)).empty());
}

TEST(CdText, ForeignCodesControlsAndOtherBlocksAreNotShown) {
    Disc d = disc_with_text();
    d.tracks[0].text.title = "Bell\x07 and \x1B[2J escape";
    auto packs = passthru::image::encode_cdtext_packs(d);
    EXPECT_EQ(parse(response_of(packs)).entries[1].title, "Bell? and ?[2J escape");

    // The size information names a double-byte code (MS-JIS): no text is taken.
    auto jis = packs;
    for (std::size_t at = 0; at < jis.size(); at += CDTEXT_PACK_BYTES) {
        if (jis[at] == 0x8F && jis[at + 1] == 0) {
            jis[at + 4] = 0x80;
            cdtext_seal_pack(&jis[at]);
        }
    }
    EXPECT_TRUE(parse(response_of(jis)).empty());

    // Packs of block 1 (a second language) are left alone.
    auto block1 = packs;
    for (std::size_t at = 0; at < block1.size(); at += CDTEXT_PACK_BYTES) {
        block1[at + 3] = static_cast<std::uint8_t>(block1[at + 3] | 0x10);
        cdtext_seal_pack(&block1[at]);
    }
    EXPECT_TRUE(parse(response_of(block1)).empty());
}

TEST(CdText, AnyBytesAreReadWithinTheirBounds) {
    const auto packs = passthru::image::encode_cdtext_packs(disc_with_text());
    const auto whole = response_of(packs);
    // Cut anywhere, with a header claiming more than there is: only the bytes given are read
    // (AddressSanitizer checks the reads of the exact-size copies).
    for (std::size_t size = 0; size <= whole.size(); size += 7) {
        std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        (void)parse_cdtext(cut.data(), cut.size());
    }
    EXPECT_TRUE(parse_cdtext(nullptr, 0).empty());
    // Random packs with valid CRCs: track numbers up to 127, any positions and sequences.
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint8_t> noise(CDTEXT_PACK_BYTES * (1 + random() % 40));
        for (auto &b : noise) b = static_cast<std::uint8_t>(random());
        for (std::size_t at = 0; at < noise.size(); at += CDTEXT_PACK_BYTES) {
            noise[at] = static_cast<std::uint8_t>(0x80 + random() % 2);
            noise[at + 3] &= 0x0F;
            cdtext_seal_pack(&noise[at]);
        }
        const auto r = response_of(noise);
        (void)parse_cdtext(r.data(), r.size());
    }
}

}  // namespace
