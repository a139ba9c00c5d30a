// What a user may type: an image named on the command line, options with a space before their
// number, --help, files that cannot be played, and a disc with a hidden track before track 1.
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

// A disc made by the test: `seconds` of audio per track in one BIN file, track 1 starting
// `hidden_seconds` into it (its pregap, the hidden track), CD-Text titles.
struct MadeDisc {
    std::string sheet;
    std::vector<std::uint8_t> bin;
    std::vector<std::int32_t> starts;  // each track's first sector
};

class CommandLine : public Cddaplay {
protected:
    MadeDisc make_disc(const std::string &name, std::int32_t hidden_seconds, std::vector<std::int32_t> seconds) {
        MadeDisc d;
        std::int32_t total = hidden_seconds * 75;
        std::string text = "TITLE \"Made\"\nFILE \"" + name + ".bin\" BINARY\n";
        for (std::size_t i = 0; i < seconds.size(); ++i) {
            char track[96];
            std::snprintf(track, sizeof track, "  TRACK %02zu AUDIO\n    TITLE \"Song %zu\"\n", i + 1, i + 1);
            text += track;
            if (i == 0 && hidden_seconds > 0) text += "    INDEX 00 00:00:00\n";
            std::snprintf(track, sizeof track, "    INDEX 01 %02d:%02d:00\n", total / 4500, total / 75 % 60);
            text += track;
            d.starts.push_back(total);
            total += seconds[i] * 75;
        }
        d.bin = sectors(total, 0x21);
        write_image_file(name + ".bin", d.bin);
        d.sheet = write_sheet(name + ".cue", text);
        return d;
    }
    std::vector<std::uint8_t> from(const MadeDisc &d, std::int32_t lba) const {
        return {d.bin.begin() + lba * 2352, d.bin.end()};
    }
};

TEST_F(CommandLine, ASheetNamedAsAnArgumentPlaysAsTheImageAlone) {
    if (under_wine()) GTEST_SKIP() << "the sheet's path is a Linux path";
    const MadeDisc d = make_disc("album", 0, {2, 3, 2});
    // Named on the command line, it replaces what CDDAPLAY_IMAGES says; "-t 2" is "-t2". A word
    // that names no file is ignored with one line.
    ProgramRun r = run({d.sheet, "-t", "2", "loud"});
    EXPECT_EQ(r.out, "cdrom_device is 0/1 now.\nstart 2/3 cdrom_track.\nnow playing...\nFinished.\n");
    EXPECT_EQ(r.exit_status, 0);
    expect_audio(from(d, d.starts[1]));
    EXPECT_EQ(r.err, "cddaplay: ignoring 'loud': no such file to play\n");

    // Its unit names the image in the listing.
    ProgramRun listed = run({"-l", d.sheet});
    EXPECT_EQ(listed.out.substr(0, listed.out.find('\n')),
              "unit 0: adapter 0 target 0 lun 0  CDDAPLAY VIRTUAL CD-ROM 1.0  disc in  image \"album\"");
}

TEST_F(CommandLine, AFileThatCannotBePlayedIsAnErrorWithItsReason) {
    if (under_wine()) GTEST_SKIP() << "the file's path is a Linux path";
    const std::string notes = write_sheet("notes.txt", "shopping: milk, eggs\n");
    ProgramRun r = run({notes});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_FALSE(fs::exists(capture)) << "nothing is played";
    // The library's reason, then the program's line naming the file.
    EXPECT_NE(r.err.find("unknown keyword 'shopping:'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cddaplay: cannot play '" + notes + "'"), std::string::npos) << r.err;

    // A name the library's list cannot carry is refused before anything is looked for.
    const std::string semicolon = write_sheet("a;b.cue", "FILE \"x.bin\" BINARY\n");
    ProgramRun refused = run({semicolon});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("holds a ';'"), std::string::npos) << refused.err;
}

TEST_F(CommandLine, HelpSpacedOptionsAndTheHintWithoutAUnit) {
    ProgramRun help = run({"-t2", "--help", "-d1"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind(printed("usage: cddaplay"), 0), 0u) << help.out;
    for (const char *option : {"-d<unit>", "-t<track>", "-n<K>", "-r ", "-s<speed>", "-l ", "-h ", "--help", "image"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_FALSE(fs::exists(capture));
    EXPECT_EQ(run({"-d0", "-h"}).exit_status, 1) << "-h stays as it was";

    ProgramRun spaced = run({"-d", "0", "-t", "3", "-s", "4"});
    EXPECT_EQ(spaced.out, printed("cdrom_device is 0/1 now.\nstart 3/3 cdrom_track.\nnow playing...\nFinished.\n"));
    expect_audio(disc(builtin::kTrackStart[2], builtin::kLeadOut));

    // No unit at all: after the described lines, one line says what to do.
    env["CDDAPLAY_IMAGES"] = ";";
    ProgramRun none = run({});
    EXPECT_EQ(none.out, printed("cdrom_device is 0/0 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
    EXPECT_EQ(none.exit_status, 1);
    EXPECT_NE(none.err.find("no CD-ROM unit found"), std::string::npos) << none.err;
}

TEST_F(CommandLine, AHiddenTrackIsListedAndPlaysFromTheFirstSectorWithT0) {
    if (under_wine()) GTEST_SKIP() << "the sheet's path is a Linux path";
    // Track 1 starts 5 s in: its pregap holds a hidden track.
    const MadeDisc d = make_disc("hidden", 5, {4, 3});
    ProgramRun listed = run({"-l", d.sheet});
    EXPECT_EQ(listed.out,
              "unit 0: adapter 0 target 0 lun 0  CDDAPLAY VIRTUAL CD-ROM 1.0  disc in  image \"hidden\"\n"
              "\n"
              "unit 0: 2 tracks, 0:12\n"
              "disc: Made\n"
              "track  type   start     length  (start: disc address mm:ss:ff; length: m:ss)\n"
              "    0  audio  00:02:00    0:05  hidden track before track 1: play it with -t0\n"
              "    1  audio  00:07:00    0:04  Song 1\n"
              "    2  audio  00:11:00    0:03  Song 2\n"
              "\n"
              "would play: track 1 to track 2, 0:07\n");
    EXPECT_EQ(listed.exit_status, 0);
    const std::string with_hidden = run({"-l", "-t0", d.sheet}).out;
    EXPECT_EQ(with_hidden.substr(with_hidden.rfind("\n\n")), "\n\nwould play: track 0 to track 2, 0:12\n");

    ProgramRun r = run({"-t0", d.sheet});
    EXPECT_EQ(r.out, "cdrom_device is 0/1 now.\nstart 0/2 cdrom_track.\nnow playing...\nFinished.\n");
    expect_audio(d.bin);

    // Without -t0 track 1 plays from its own start, as before.
    fs::remove(capture);
    run({d.sheet});
    expect_audio(from(d, d.starts[0]));
}

}  // namespace
}  // namespace e2e
