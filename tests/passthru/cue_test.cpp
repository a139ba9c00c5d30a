// The CUE sheet parser on real-world shaped sheets and on malformed ones; the fault syntax; the
// built-in disc's promise that no two sectors are equal.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "passthru/faults.h"
#include "passthru/image/builtin_disc.h"
#include "passthru/image/cue.h"
#include "passthru/image/toc_sheet.h"
#include "passthru/image/wav_format.h"

namespace {

using passthru::image::Disc;
using passthru::image::SegmentKind;

constexpr std::uint64_t kSector = 2352;

struct Parsed {
    bool ok;
    Disc disc;
    std::string error;
};

// Parses `sheet` with files of the given sizes in sectors (absent names cannot be read).
Parsed parse(const std::string &sheet, const std::map<std::string, std::uint64_t> &sectors) {
    auto sizes = [&sectors](std::string_view name) -> std::optional<std::uint64_t> {
        auto it = sectors.find(std::string(name));
        if (it == sectors.end()) return std::nullopt;
        return it->second * kSector;
    };
    Parsed p;
    p.ok = passthru::image::parse_cue(reinterpret_cast<const std::uint8_t *>(sheet.data()), sheet.size(), sizes,
                                      p.disc, p.error);
    return p;
}

struct TrackStart {
    int number;
    std::int32_t start;
    std::uint8_t control;
};

void expect_tracks(const Disc &disc, const std::vector<TrackStart> &expected, std::int32_t lead_out) {
    ASSERT_EQ(disc.tracks.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(disc.tracks[i].number, expected[i].number) << i;
        EXPECT_EQ(disc.tracks[i].start, expected[i].start) << "track " << expected[i].number;
        EXPECT_EQ(disc.tracks[i].control, expected[i].control) << "track " << expected[i].number;
    }
    EXPECT_EQ(disc.lead_out, lead_out);
}

// Segments must tile [0, lead_out) without holes or overlaps.
void expect_tiled(const Disc &disc) {
    std::int32_t next = 0;
    for (const auto &s : disc.segments) {
        EXPECT_EQ(s.start, next);
        EXPECT_GT(s.length, 0);
        next = s.start + s.length;
    }
    EXPECT_EQ(next, disc.lead_out);
}

// ---- Real-world shaped sheets ----

TEST(CueSheet, SingleFileWithPregapsAppendedToThePreviousTrack) {
    // The usual rip: one image, INDEX 00 marking each pregap inside the file.
    const auto p = parse(R"(REM GENRE Rock
REM DATE 1994
PERFORMER "Some Band"
TITLE "Some Album"
CATALOG 0724383050624
FILE "Some Band - Some Album.bin" BINARY
  TRACK 01 AUDIO
    TITLE "One"
    PERFORMER "Some Band"
    ISRC GBAYE9400001
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    TITLE "Two"
    INDEX 00 03:58:30
    INDEX 01 04:00:05
  TRACK 03 AUDIO
    FLAGS PRE
    INDEX 00 07:10:00
    INDEX 01 07:12:00
    INDEX 02 08:00:00
)",
                         {{"Some Band - Some Album.bin", 45000}});
    ASSERT_TRUE(p.ok) << p.error;
    expect_tracks(p.disc, {{1, 0, 0x00}, {2, 4 * 4500 + 5, 0x00}, {3, 7 * 4500 + 12 * 75, 0x01}}, 45000);
    expect_tiled(p.disc);
    ASSERT_EQ(p.disc.files.size(), 1u);
    EXPECT_FALSE(p.disc.files[0].big_endian);
    for (const auto &s : p.disc.segments) EXPECT_EQ(s.file_sector, s.start) << "one file, no gaps: LBA = offset";
}

TEST(CueSheet, OneFilePerTrackWithThePregapAtTheStartOfTheNextFile) {
    const auto p = parse("FILE \"01.bin\" BINARY\n"
                         "  TRACK 01 AUDIO\n"
                         "    INDEX 01 00:00:00\n"
                         "FILE \"02.bin\" BINARY\n"
                         "  TRACK 02 AUDIO\n"
                         "    INDEX 00 00:00:00\n"
                         "    INDEX 01 00:02:00\n"
                         "FILE \"03.bin\" MOTOROLA\n"
                         "  TRACK 03 AUDIO\n"
                         "    INDEX 01 00:00:00\n",
                         {{"01.bin", 1000}, {"02.bin", 800}, {"03.bin", 600}});
    ASSERT_TRUE(p.ok) << p.error;
    expect_tracks(p.disc, {{1, 0, 0}, {2, 1150, 0}, {3, 1800, 0}}, 2400);
    expect_tiled(p.disc);
    ASSERT_EQ(p.disc.files.size(), 3u);
    EXPECT_EQ(p.disc.files[1].path, "02.bin");
    EXPECT_TRUE(p.disc.files[2].big_endian);
}

TEST(CueSheet, PregapAndPostgapAreSilenceBetweenTheFilesData) {
    const auto p = parse("FILE \"a.bin\" BINARY\n"
                         "  TRACK 01 AUDIO\n"
                         "    PREGAP 00:02:00\n"
                         "    INDEX 01 00:00:00\n"
                         "    POSTGAP 00:01:00\n"
                         "  TRACK 02 AUDIO\n"
                         "    INDEX 01 00:10:00\n",
                         {{"a.bin", 1500}});
    ASSERT_TRUE(p.ok) << p.error;
    expect_tracks(p.disc, {{1, 150, 0}, {2, 150 + 750 + 75, 0}}, 150 + 1500 + 75);
    expect_tiled(p.disc);
    ASSERT_EQ(p.disc.segments.size(), 4u);
    EXPECT_EQ(p.disc.segments[0].kind, SegmentKind::silence);  // the pregap
    EXPECT_EQ(p.disc.segments[1].kind, SegmentKind::file);     // track 1's data
    EXPECT_EQ(p.disc.segments[1].length, 750);
    EXPECT_EQ(p.disc.segments[2].kind, SegmentKind::silence);  // track 1's postgap
    EXPECT_EQ(p.disc.segments[2].length, 75);
    EXPECT_EQ(p.disc.segments[3].file_sector, 750);
}

TEST(CueSheet, MixedModeAndEnhancedDiscsMarkTheirDataTracks) {
    const auto mixed = parse("FILE \"game.bin\" BINARY\n"
                             "  TRACK 01 MODE1/2352\n"
                             "    INDEX 01 00:00:00\n"
                             "  TRACK 02 AUDIO\n"
                             "    PREGAP 00:02:00\n"
                             "    INDEX 01 10:00:00\n",
                             {{"game.bin", 50000}});
    ASSERT_TRUE(mixed.ok) << mixed.error;
    expect_tracks(mixed.disc, {{1, 0, 0x04}, {2, 45000 + 150, 0x00}}, 50150);

    const auto enhanced = parse("file \"cd.bin\" binary\r\n"
                                "  track 01 audio\r\n"
                                "    flags dcp 4ch scms\r\n"
                                "    index 01 00:00:00\r\n"
                                "  track 02 mode2/2352\r\n"
                                "    index 01 01:00:00\r\n",
                                {{"cd.bin", 6000}});
    ASSERT_TRUE(enhanced.ok) << enhanced.error;
    expect_tracks(enhanced.disc, {{1, 0, 0x0A}, {2, 4500, 0x04}}, 6000);
}

TEST(CueSheet, SessionsLeaveTheUnreadableGapOfAMultiSessionDisc) {
    // Three sessions: the image holds the tracks only; 11,400 sectors lie between the first
    // session's last sector and the second session's first track, 6,900 after a later session.
    const auto p = parse("REM SESSION 01\n"
                         "FILE \"a.bin\" BINARY\n"
                         "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                         "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n"
                         "REM SESSION 02\n"
                         "  TRACK 03 MODE1/2352\n    INDEX 01 00:02:00\n"
                         "rem session 03\n"
                         "FILE \"b.bin\" BINARY\n"
                         "  TRACK 04 MODE2/2352\n    INDEX 01 00:00:00\n",
                         {{"a.bin", 200}, {"b.bin", 50}});
    ASSERT_TRUE(p.ok) << p.error;
    expect_tracks(p.disc, {{1, 0, 0x00}, {2, 75, 0x00}, {3, 150 + 11400, 0x04}, {4, 200 + 11400 + 6900, 0x04}},
                  200 + 11400 + 6900 + 50);
    expect_tiled(p.disc);
    EXPECT_EQ(p.disc.tracks[2].session, 2);
    EXPECT_EQ(p.disc.tracks[3].mode, passthru::image::TrackMode::mode2_2352);
    EXPECT_EQ(passthru::image::last_session_first_track(p.disc).number, 4);

    for (const char *bad : {"REM SESSION 00\n", "REM SESSION\n", "REM SESSION 02\nREM SESSION 01\n"}) {
        const auto rejected = parse(std::string(bad) + "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n",
                                    {{"a.bin", 200}});
        EXPECT_FALSE(rejected.ok) << bad;
        EXPECT_NE(rejected.error.find("REM SESSION"), std::string::npos) << rejected.error;
    }
}

TEST(CueSheet, ByteOrderMarkAndFirstTrackNumberAboveOne) {
    const auto p = parse("\xEF\xBB\xBF" "FILE \"x.bin\" BINARY\n  TRACK 05 AUDIO\n    INDEX 01 00:00:00\n"
                         "  TRACK 06 AUDIO\n    INDEX 01 00:01:00",  // no final newline
                         {{"x.bin", 200}});
    ASSERT_TRUE(p.ok) << p.error;
    expect_tracks(p.disc, {{5, 0, 0}, {6, 75, 0}}, 200);
}

// ---- Malformed sheets: rejected with a reason, never a crash ----

TEST(CueSheet, MalformedSheetsAreRejectedWithTheirReason) {
    const std::string head = "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n";
    struct Case {
        const char *what;
        std::string sheet;
        const char *reason;  // a part of the error text
    };
    const Case cases[] = {
        {"unknown keyword", head + "    INDEX 01 00:00:00\nSHOUT loud\n", "line 4: unknown keyword 'SHOUT'"},
        {"seconds out of range", head + "    INDEX 01 00:60:00\n", "bad time '00:60:00'"},
        {"frames out of range", head + "    INDEX 01 00:00:75\n", "bad time"},
        {"letters in a time", head + "    INDEX 01 0a:00:00\n", "bad time"},
        {"two-part time", head + "    INDEX 01 00:00\n", "bad time"},
        {"four-part time", head + "    INDEX 01 00:00:00:00\n", "bad time"},
        {"negative time", head + "    INDEX 01 -1:00:00\n", "bad time"},
        {"tracks out of order", head + "    INDEX 01 00:00:00\n  TRACK 03 AUDIO\n    INDEX 01 00:01:00\n",
         "track 3 out of order after track 1"},
        {"track repeated", head + "    INDEX 01 00:00:00\n  TRACK 01 AUDIO\n    INDEX 01 00:01:00\n", "out of order"},
        {"track 0", "FILE \"a.bin\" BINARY\n  TRACK 00 AUDIO\n    INDEX 01 00:00:00\n", "bad track number"},
        {"track 100", "FILE \"a.bin\" BINARY\n  TRACK 100 AUDIO\n    INDEX 01 00:00:00\n", "bad track number"},
        {"no INDEX 01", head + "    INDEX 00 00:00:00\n", "INDEX 01 of track 1 is missing"},
        {"no INDEX 01 before the next track", head + "  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n", "INDEX 01 of track 1 is missing (expected before TRACK 02)"},
        {"index going backwards", head + "    INDEX 01 00:10:00\n  TRACK 02 AUDIO\n    INDEX 01 00:05:00\n",
         "goes backwards"},
        {"indexes out of order", head + "    INDEX 01 00:00:00\n    INDEX 00 00:00:00\n", "out of order"},
        {"empty track", head + "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n", "track 1 is empty"},
        {"TRACK before FILE", "TRACK 01 AUDIO\n", "TRACK before FILE"},
        {"INDEX outside a track", "FILE \"a.bin\" BINARY\n    INDEX 01 00:00:00\n", "INDEX outside a TRACK"},
        {"PREGAP after INDEX", head + "    INDEX 01 00:00:00\n    PREGAP 00:02:00\n", "PREGAP after INDEX"},
        {"MP3 file", "FILE \"a.mp3\" MP3\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", "unsupported file type 'MP3' (expected BINARY, MOTOROLA or WAVE)"},
        {"CD+G track", "FILE \"a.bin\" BINARY\n  TRACK 01 CDG\n    INDEX 01 00:00:00\n", "unsupported track type 'CDG'"},
        {"unknown flag", head + "    FLAGS LOUD\n    INDEX 01 00:00:00\n", "unknown flag"},
        {"unterminated quote", "FILE \"a.bin BINARY\n", "line 1: a quote (\") is not closed"},
        {"FILE without tracks", "FILE \"a.bin\" BINARY\nFILE \"b.bin\" BINARY\n", "has no TRACK"},
        {"empty sheet", "", "no FILE"},
        {"comments only", "REM nothing here\r\n\r\n", "no FILE"},
        {"missing file", "FILE \"gone.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", "line 1: cannot use 'gone.bin'"},
    };
    for (const Case &c : cases) {
        const auto p = parse(c.sheet, {{"a.bin", 100}, {"b.bin", 100}, {"a.wav", 100}});
        EXPECT_FALSE(p.ok) << c.what;
        EXPECT_NE(p.error.find(c.reason), std::string::npos) << c.what << ": " << p.error;
    }
}

TEST(CueSheet, FilesEndingPartWayThroughASectorArePaddedEmptyOnesRefused) {
    const std::string sheet = "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    for (const std::uint64_t bytes : {std::uint64_t{0}, kSector - 1, 10 * kSector + 1}) {
        Disc disc;
        std::string error;
        std::vector<std::string> notes;
        const bool ok = passthru::image::parse_cue(
            reinterpret_cast<const std::uint8_t *>(sheet.data()), sheet.size(),
            [bytes](const passthru::image::FileQuery &, passthru::image::FileFound &found, std::string &) {
                found.data_bytes = bytes;
                return true;
            },
            disc, error, &notes);
        if (bytes == 0) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, "line 1: 'a.bin' holds no data");
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(disc.lead_out, static_cast<std::int32_t>((bytes + kSector - 1) / kSector));
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].find("line 1: 'a.bin' ends " + std::to_string(bytes % kSector) + " bytes into"),
                  std::string::npos)
            << notes[0];
    }
}

TEST(CueSheet, DiscLongerThanMsfCanSayIsRejected) {
    const auto p = parse("FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                         "FILE \"b.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n",
                         {{"a.bin", 300000}, {"b.bin", 300000}});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("too long"), std::string::npos) << p.error;
}

TEST(CueSheet, ArbitraryBytesNeverCrashTheParser) {
    std::vector<std::uint8_t> bytes(4096);
    std::uint32_t x = 12345;
    for (int round = 0; round < 200; ++round) {
        for (auto &b : bytes) {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(x >> 16);
        }
        // Mix in keywords so the parser gets past the first line now and then.
        const char *words[] = {"FILE \"a.bin\" BINARY\n", "TRACK 01 AUDIO\n", "INDEX 01 00:00:00\n", "\""};
        const char *w = words[round % 4];
        std::memcpy(bytes.data() + (round * 37) % 4000, w, std::strlen(w));
        Disc disc;
        std::string error;
        passthru::image::parse_cue(bytes.data(), bytes.size(),
                                   [](const passthru::image::FileQuery &, passthru::image::FileFound &found,
                                      std::string &) {
                                       found.data_bytes = 100 * kSector;
                                       return true;
                                   },
                                   disc, error);
    }
    Disc disc;
    std::string error;
    EXPECT_FALSE(passthru::image::parse_cue(nullptr, 0, passthru::image::FileLookup{}, disc, error));
}

// ---- What rippers write beyond raw BINARY ----

TEST(CueSheet, TextGoesToTheDiscOrItsTrackInLatin1WithAQuestionMarkWhereItEnds) {
    const std::string sheet = "PERFORMER \"Motörhead\"\nTITLE Unquoted Album Title\nSONGWRITER \"Ünknown – Writer\"\n"
                              "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    TITLE \"Ace of \"Spades\"\"\n"
                              "    PERFORMER \"Lemmy\"\n    INDEX 01 00:00:00\n";
    const auto p = parse(sheet, {{"a.bin", 100}});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.disc.text.performer, "Mot\xF6rhead");
    EXPECT_EQ(p.disc.text.title, "Unquoted Album Title");
    EXPECT_EQ(p.disc.text.songwriter, "\xDCnknown ? Writer") << "an en dash is not Latin-1: '?' in its place";
    EXPECT_EQ(p.disc.tracks[0].text.title, "Ace of \"Spades\"");
    EXPECT_EQ(p.disc.tracks[0].text.performer, "Lemmy");
    EXPECT_EQ(p.disc.tracks[0].text.songwriter, "");

    // UTF-16 with a byte order mark: the same sheet, the same text.
    std::string utf16 = "\xFF\xFE";
    for (unsigned char c : std::string("TITLE \"Caf\xC3\xA9\"\r\nFILE \"a.bin\" BINARY\r\nTRACK 01 AUDIO\r\nINDEX 01 00:00:00\r\n")) {
        utf16 += static_cast<char>(c);
        utf16 += '\0';
    }
    // (the two UTF-8 bytes of é became two code units above; put the real one in their place)
    const auto e_acute = utf16.find(std::string("\xC3\0\xA9\0", 4));
    ASSERT_NE(e_acute, std::string::npos);
    utf16.replace(e_acute, 4, std::string("\xE9\0", 2));
    const auto q = parse(utf16, {{"a.bin", 100}});
    ASSERT_TRUE(q.ok) << q.error;
    EXPECT_EQ(q.disc.text.title, "Caf\xE9");
}

TEST(CueSheet, DataTracksKeepTheirModeAndSectorSizeInTheLayout) {
    // Sizes in bytes: a data file's sectors are not 2352 bytes long.
    Disc disc;
    std::string error;
    const std::map<std::string, std::uint64_t> bytes = {{"game.iso", 100 * 2048}, {"vcd.bin", 50 * 2336 + 7}, {"music.bin", 75 * kSector}};
    const std::string sheet = "FILE \"game.iso\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                              "FILE \"vcd.bin\" BINARY\n  TRACK 02 MODE2/2336\n    INDEX 01 00:00:00\n"
                              "FILE \"music.bin\" BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n";
    std::vector<std::string> notes;
    ASSERT_TRUE(passthru::image::parse_cue(
        reinterpret_cast<const std::uint8_t *>(sheet.data()), sheet.size(),
        [&bytes](const passthru::image::FileQuery &q, passthru::image::FileFound &found, std::string &) {
            found.data_bytes = bytes.at(std::string(q.name));
            return true;
        },
        disc, error, &notes))
        << error;
    expect_tracks(disc, {{1, 0, 0x04}, {2, 100, 0x04}, {3, 151, 0x00}}, 226);
    EXPECT_EQ(disc.tracks[0].mode, passthru::image::TrackMode::mode1_2048);
    EXPECT_EQ(disc.tracks[1].mode, passthru::image::TrackMode::mode2_2336);
    ASSERT_EQ(disc.segments.size(), 3u);
    EXPECT_EQ(disc.segments[0].file_sector_bytes, 2048);
    EXPECT_EQ(disc.segments[1].file_sector_bytes, 2336);
    EXPECT_EQ(disc.segments[1].length, 51) << "the partial last sector counts, padded";
    EXPECT_EQ(disc.segments[2].file_sector_bytes, 2352);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("line 4: 'vcd.bin' ends 7 bytes into a 2336-byte sector"), std::string::npos) << notes[0];
}

TEST(CueSheet, RefusalsOfRipperLayoutsSayWhatWasExpected) {
    struct Case {
        std::string sheet;
        const char *error;  // exactly
    };
    const Case cases[] = {
        {"FILE \"1.wav\" WAVE\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 00 00:00:10\n"
         "FILE \"2.wav\" WAVE\n TRACK 03 AUDIO\n  INDEX 01 00:00:00\n",
         "line 7: INDEX 01 of track 2 is missing (expected before TRACK 03; its INDEX 00 is on line 5)"},
        {"FILE \"1.wav\" WAVE\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 00 00:00:10\n",
         "INDEX 01 of track 2 is missing (expected before the end of the sheet; its INDEX 00 is on line 5)"},
        {"FILE \"1.wav\" WAVE\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n",
         "line 3: track 1 is MODE1/2352 data, but a WAVE file holds audio only"},
        {"FILE \"a.bin\" BINARY\n TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 01 00:00:10\n",
         "line 5: FILE 'a.bin' holds 2048-byte sectors; track 2 (AUDIO) needs a FILE of its own"},
        {"FILE a.bin\n", "line 1: FILE needs a name and a type, as in FILE \"album.bin\" BINARY"},
        {"FILE \"a.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\nFILE \"b.bin\" BINARY\n",
         "line 4: FILE 'b.bin' has no TRACK or INDEX after it (expected a TRACK line)"},
        {"FILE \"a.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n SHOUT\n",
         "line 4: unknown keyword 'SHOUT' (expected FILE, TRACK, INDEX, PREGAP, POSTGAP, FLAGS, TITLE, PERFORMER, "
         "SONGWRITER, ISRC, CATALOG, CDTEXTFILE or REM)"},
    };
    for (const Case &c : cases) {
        const auto p = parse(c.sheet, {{"a.bin", 100}, {"b.bin", 100}, {"1.wav", 100}, {"2.wav", 100}});
        EXPECT_FALSE(p.ok) << c.sheet;
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(WavHeader, PlainAndExtensiblePcmAtCdRateAreReadOthersRefused) {
    auto le = [](std::uint32_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
        return s;
    };
    auto fmt = [&](std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, bool extensible) {
        std::string body = le(extensible ? 0xFFFE : tag, 2) + le(channels, 2) + le(rate, 4) + le(rate * 4, 4) + le(4, 2) +
                           le(bits, 2);
        if (extensible) body += le(22, 2) + le(bits, 2) + le(3, 4) + le(tag, 2) + std::string(14, '\x10');
        return "fmt " + le(static_cast<std::uint32_t>(body.size()), 4) + body;
    };
    auto wav = [&](const std::string &chunks) { return "RIFF" + le(4 + std::uint32_t(chunks.size()), 4) + "WAVE" + chunks; };
    auto layout_of = [](const std::string &head, std::uint64_t file_size, std::string &why) {
        passthru::image::WavLayout layout;
        const bool ok = passthru::image::parse_wav_header(reinterpret_cast<const std::uint8_t *>(head.data()), head.size(),
                                                          file_size, layout, why);
        return ok ? std::optional(layout) : std::nullopt;
    };
    std::string why;
    const std::string plain = wav(fmt(1, 2, 44100, 16, false) + "LIST" + le(3, 4) + "abc" + std::string(1, '\0') +
                                  "data" + le(4000, 4));
    auto l = layout_of(plain, plain.size() + 4000, why);
    ASSERT_TRUE(l) << why;
    EXPECT_EQ(l->data_offset, plain.size()) << "the odd LIST chunk is padded";
    EXPECT_EQ(l->data_bytes, 4000u);
    l = layout_of(plain, plain.size() + 1001, why);  // cut short, and not a whole frame
    ASSERT_TRUE(l);
    EXPECT_EQ(l->data_bytes, 1000u);
    const std::string ext = wav(fmt(1, 2, 44100, 16, true) + "data" + le(0xFFFFFFFF, 4));
    l = layout_of(ext, ext.size() + 400, why);
    ASSERT_TRUE(l) << why;
    EXPECT_EQ(l->data_bytes, 400u) << "a streamed length runs to the end of the file";

    EXPECT_FALSE(layout_of(wav(fmt(1, 2, 48000, 16, false) + "data" + le(4, 4)), 100, why));
    EXPECT_EQ(why, "it is PCM WAV, 48000 Hz, 2 channel(s), 16-bit; a CD holds PCM, 44100 Hz, 2 channels, 16-bit");
    EXPECT_FALSE(layout_of(wav(fmt(3, 2, 44100, 32, true) + "data" + le(4, 4)), 100, why));
    EXPECT_EQ(why, "it is compressed WAV, 44100 Hz, 2 channel(s), 32-bit; a CD holds PCM, 44100 Hz, 2 channels, 16-bit");
    EXPECT_FALSE(layout_of(wav("data" + le(4, 4) + fmt(1, 2, 44100, 16, false)), 100, why));
    EXPECT_EQ(why, "its samples come before their format");
    EXPECT_FALSE(layout_of("fLaC\0\0\0\"", 100, why));
    EXPECT_EQ(why, "not a plain WAV file (this build reads no other audio files)");
    EXPECT_FALSE(layout_of(wav(fmt(1, 2, 44100, 16, false) + "LIST" + le(0xFFFFFFF0u, 4)), 100, why));
}

// ---- The fault syntax ----

TEST(FaultSyntax, TheDocumentedExampleSetsEveryKnob) {
    std::string problems;
    const auto f = passthru::parse_faults("latency=20;fail_read=100-120;hang=readcd#3;hang_lba=300-310;not_ready;"
                                          "immediate;adapters=2;units=8;ansi=0;inquiry_targstat=2;toc_start=2:-5;"
                                          "trace=/tmp/commands.txt",
                                          problems);
    EXPECT_EQ(problems, "");
    EXPECT_EQ(f.latency.count(), 20);
    ASSERT_EQ(f.fail_read.size(), 1u);
    EXPECT_EQ(f.fail_read[0].first, 100);
    EXPECT_EQ(f.fail_read[0].last, 120);
    EXPECT_EQ(f.hang_kind, passthru::CommandKind::readcd);
    EXPECT_EQ(f.hang_nth, 3);
    ASSERT_EQ(f.hang_lba.size(), 1u);
    EXPECT_EQ(f.hang_lba[0].last, 310);
    EXPECT_TRUE(f.not_ready_all);
    EXPECT_TRUE(f.immediate);
    EXPECT_EQ(f.adapters, 2);
    EXPECT_FALSE(f.duplicate_adapters);
    EXPECT_EQ(f.units, 8);
    EXPECT_EQ(f.ansi_version, 0);
    EXPECT_EQ(f.inquiry_target_status, 2);
    ASSERT_EQ(f.toc_starts.size(), 1u);
    EXPECT_EQ(f.toc_starts[0].track, 2);
    EXPECT_EQ(f.toc_starts[0].lba, -5);
    EXPECT_EQ(f.trace_path, "/tmp/commands.txt");
}

TEST(FaultSyntax, BadItemsAreNamedAndIgnored) {
    std::string problems;
    const auto f = passthru::parse_faults(" fail_read=7 ; fail_read=20-10;units=16;adapters=0;hang=readcd#0;"
                                          "latency=-5;immediate=yes;;ansi=300;not_ready=x;toc_start=0:5;toc_start=3;trace=",
                                          problems);
    ASSERT_EQ(f.fail_read.size(), 1u);
    EXPECT_EQ(f.fail_read[0].first, 7);
    EXPECT_EQ(f.fail_read[0].last, 7);
    EXPECT_EQ(f.units, 0);
    EXPECT_EQ(f.adapters, 1);
    EXPECT_EQ(f.hang_kind, passthru::CommandKind::none);
    EXPECT_FALSE(f.not_ready_all);
    for (const char *bad : {"fail_read=20-10", "units=16", "adapters=0", "hang=readcd#0", "latency=-5", "immediate=yes",
                            "ansi=300", "not_ready=x", "toc_start=0:5", "toc_start=3", "trace="})
        EXPECT_NE(problems.find(bad), std::string::npos) << bad;
}

// ---- The built-in disc ----

TEST(BuiltinDisc, NoTwoSectorsAreEqualAndTracksDifferInPitch) {
    namespace builtin = passthru::image::builtin;
    std::set<std::vector<std::uint8_t>> seen;
    std::vector<std::uint8_t> sector(2352);
    for (std::int32_t lba = 0; lba < builtin::kLeadOut; ++lba) {
        builtin::sector(lba, sector.data());
        EXPECT_TRUE(seen.insert(sector).second) << "sector " << lba << " repeats an earlier one";
    }
    EXPECT_EQ(builtin::kTrackStart[0], 0);
    EXPECT_EQ(builtin::kLeadOut, 30 * 75);
}

}  // namespace

namespace {

// A rip cut short: the tracks it still holds play, those after its end keep their places as
// silence (the last one 4 seconds long), and a note says where the file ends.
TEST(CueSheet, AFileShorterThanItsIndexesPlaysWhatIsThereAndSilenceAfter) {
    const std::string sheet = "FILE \"a.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n"
                              "  INDEX 01 00:01:00\n TRACK 03 AUDIO\n  INDEX 01 00:02:00\n";
    Disc disc;
    std::string error;
    std::vector<std::string> notes;
    const passthru::image::FileLookup lookup = [](const passthru::image::FileQuery &, passthru::image::FileFound &found,
                                                  std::string &) {
        found.data_bytes = 100 * kSector + 1000;
        return true;
    };
    ASSERT_TRUE(passthru::image::parse_cue(reinterpret_cast<const std::uint8_t *>(sheet.data()), sheet.size(), lookup,
                                           disc, error, &notes))
        << error;
    expect_tracks(disc, {{1, 0, 0}, {2, 75, 0}, {3, 150, 0}}, 150 + 300);
    ASSERT_EQ(disc.files.size(), 1u);
    EXPECT_EQ(disc.files[0].data_bytes, 100 * kSector + 1000) << "reads past it give silence";
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[1], "line 1: 'a.bin' ends at 00:01:26, before its INDEX at 00:02:00; the rest of it plays as silence");
}

}  // namespace

namespace {

// cdrdao's raw audio is big-endian unless SWAP: MOTOROLA in the sheet; a .wav file is WAVE. A
// track that would skip part of a file cannot be said in a CUE sheet and is refused.
TEST(TocFile, BecomesTheCueSheetThatSaysTheSame) {
    const std::string toc = "CD_DA\nTRACK AUDIO\nCOPY\nAUDIOFILE \"a.bin\" 0 1:0:0\nTRACK AUDIO\nSILENCE 0:2:0\n"
                            "FILE \"a.bin\" 1:0:0\nSTART 0:3:0\nINDEX 0:10:0\nTRACK AUDIO\nAUDIOFILE \"b.WAV\" 0\n";
    std::string cue, error;
    ASSERT_TRUE(passthru::image::toc_to_cue(reinterpret_cast<const std::uint8_t *>(toc.data()), toc.size(), cue, error))
        << error;
    EXPECT_EQ(cue, "FILE \"a.bin\" MOTOROLA\n  TRACK 01 AUDIO\n    FLAGS DCP\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
                   "    PREGAP 00:02:00\n    INDEX 00 01:00:00\n    INDEX 01 01:01:00\n    INDEX 02 01:11:00\n"
                   "FILE \"b.WAV\" WAVE\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n");

    const std::string skipping = "TRACK AUDIO\nAUDIOFILE \"a.bin\" 0 1:0:0\nTRACK AUDIO\nAUDIOFILE \"a.bin\" 2:0:0\n";
    EXPECT_FALSE(passthru::image::toc_to_cue(reinterpret_cast<const std::uint8_t *>(skipping.data()), skipping.size(), cue,
                                             error));
    EXPECT_EQ(error, "line 4: 'a.bin' at 02:00:00 does not follow on from the track before (at 01:00:00); a CUE sheet "
                     "cannot skip part of a file");
}

}  // namespace
