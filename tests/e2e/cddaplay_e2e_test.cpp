// The built program end to end: our pass-through library serving the built-in disc, the sound
// captured through ALSA's file sink, stdout compared byte for byte and the audio bit for bit.
//
// The program under test is bin/cddaplay of this build or, when CDDAPLAY_E2E_WIN64_BUILD names a
// win64 build, its cddaplay.exe started under wine64 by cmake/wine64-run.sh.
#include <gtest/gtest.h>

#include "passthru/image/builtin_disc.h"
#include "tests/e2e/e2e_fixture.h"

namespace {

using namespace e2e;
namespace builtin = passthru::image::builtin;
using namespace std::chrono_literals;

TEST_F(Cddaplay, PlaysFromTheChosenTrackToTheEndOfTheDisc) {
    struct Case {
        std::vector<std::string> args;
        const char *track_line;
        int first_track;
    };
    const Case cases[] = {
        {{}, "start 1/3 cdrom_track.\n", 0},
        {{"-d0", "-t2"}, "start 2/3 cdrom_track.\n", 1},
        {{"-t3", "-d1"}, "start 3/3 cdrom_track.\n", 2},  // no unit 1: unit 0
        {{"-t9"}, "start 1/3 cdrom_track.\n", 0},          // no track 9: track 1
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.track_line);
        fs::remove(capture);
        ProgramRun r = run(c.args);
        EXPECT_EQ(r.out, printed(std::string("cdrom_device is 0/1 now.\n") + c.track_line + "now playing...\nFinished.\n"));
        EXPECT_EQ(r.exit_status, 0);
        expect_audio(disc(builtin::kTrackStart[c.first_track], builtin::kLeadOut));
    }
}

TEST_F(Cddaplay, EnterStopsPlaybackPartWay) {
    env["CDDAPLAY_FAULTS"] = "latency=20";  // about 0.2 s per second of sound: still playing at ENTER
    ProgramRun r = run({}, {printed("now playing...\n"), 400ms});
    EXPECT_EQ(r.out, printed(std::string(kHeader3) + "now playing...\nFinished.\n"));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_LT(r.after_enter, 5000ms) << "it must not play on to the end of the disc";
    const auto whole = disc(0, builtin::kLeadOut);
    const std::optional<std::size_t> part = heard(whole);
    ASSERT_TRUE(part.has_value()) << "what was heard is the disc's start and nothing else";
    EXPECT_GT(*part, 0u);
    EXPECT_LT(*part, whole.size()) << "stopped part-way";
}

TEST_F(Cddaplay, GroupsTheDriveCannotReadPlayAsSilence) {
    env["CDDAPLAY_FAULTS"] = "fail_read=100-120";
    ProgramRun r = run({});
    EXPECT_EQ(r.out, printed(std::string(kHeader3) + "now playing...\nFinished.\n"));
    auto expected = disc(0, builtin::kLeadOut);
    // READ CD groups are 10 sectors from the track start: 100-109, 110-119, 120-129 fail whole.
    std::fill(expected.begin() + 100 * 2352, expected.begin() + 130 * 2352, 0);
    expect_audio(expected);
}

TEST_F(Cddaplay, StartUpFailuresSayWhyAndExit1) {
    EXPECT_EQ(run({"-d0", "-h", "-t2"}).out, printed("usage:command -d0 -t3<ENTER>\n"));

    env["CDDAPLAY_IMAGES"] = "\x01";  // nothing configured: the library has no adapter
    ProgramRun none = run({});
    EXPECT_EQ(none.out, printed("this pc does'nt support adapters\nfail to get cdrom_device.\n"));
    EXPECT_EQ(none.exit_status, 1);

    // An adapter without a unit: the list is empty, and the empty first slot is asked anyway.
    env["CDDAPLAY_IMAGES"] = ";";
    ProgramRun no_unit = run({});
    EXPECT_EQ(no_unit.out, printed("cdrom_device is 0/0 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
    EXPECT_EQ(no_unit.exit_status, 1);

    // A sheet that cannot be read: its unit is a drive without a disc.
    env["CDDAPLAY_IMAGES"] = (dir / "missing.cue").string();
    ProgramRun empty_drive = run({});
    EXPECT_EQ(empty_drive.out, printed("cdrom_device is 0/1 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
    EXPECT_EQ(empty_drive.exit_status, 1);

    env["CDDAPLAY_IMAGES"] = "builtin";
    env["CDDAPLAY_FAULTS"] = "not_ready";
    ProgramRun not_ready = run({});
    EXPECT_EQ(not_ready.out, printed("cdrom_device is 0/1 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
    EXPECT_EQ(not_ready.exit_status, 1);
}

TEST_F(Cddaplay, WithoutTheLibraryNothingIsFound) {
    if (under_wine()) GTEST_SKIP() << "native program only";
    fs::copy_file(program(), dir / "cddaplay");  // alone, without its library beside it
    ProgramRun r = run_program({(dir / "cddaplay").string()}, {{"LD_LIBRARY_PATH", "\x01"}}, {}, 60s);
    EXPECT_EQ(r.out, printed("fail to load the wnaspi32.dll\nfail to get cdrom_device.\n"));
    EXPECT_EQ(r.exit_status, 1);
}

TEST_F(Cddaplay, AnotherAspiLayerWithoutAdaptersIsReportedAsSuch) {
    if (!under_wine()) GTEST_SKIP() << "Windows program under Wine only";
    // Wine's own wnaspi32, a third-party ASPI32 layer that reports no adapters.
    env["WINEDLLOVERRIDES"] = "wnaspi32=b";
    ProgramRun r = run({});
    EXPECT_EQ(r.out, printed("this pc does'nt support adapters\nfail to get cdrom_device.\n"));
    EXPECT_EQ(r.exit_status, 1);
}

TEST_F(Cddaplay, WithoutASoundDevicePlaybackEndsAtOnceAfterTheTrackLine) {
    env["ALSA_CONFIG_PATH"] = (dir / "no-device.conf").string();
    ProgramRun r = run({});
    EXPECT_EQ(r.out, printed(std::string(kHeader3) + "fail to get the wave device\n"));
    EXPECT_EQ(r.exit_status, 0) << "playback had started";
}

}  // namespace
