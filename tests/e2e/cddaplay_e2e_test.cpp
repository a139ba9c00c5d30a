// The built program end to end: our pass-through library serving the built-in disc, the sound
// captured through ALSA's file sink, stdout compared byte for byte and the audio bit for bit.
//
// The program under test is bin/cddaplay of this build or, when CDDAPLAY_E2E_WIN64_BUILD names a
// win64 build, its cddaplay.exe started under wine64 by cmake/wine64-run.sh.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <csignal>
#include <regex>

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
        expect_played_to_the_end(c.args, c.track_line, disc(builtin::kTrackStart[c.first_track], builtin::kLeadOut));
    }
}

TEST_F(Cddaplay, ATrackOrUnitThatDoesNotExistFallsBackAndSaysSo) {
    env["CDDAPLAY_IMAGES"] = "builtin;builtin";
    struct Case {
        std::vector<std::string> args;
        const char *out;
        const char *err;
    };
    const Case cases[] = {
        {{"-t100"}, "cdrom_device is 0/2 now.\nstart 1/3 cdrom_track.\n",
         "cddaplay: there is no track \"100\" on this disc (3 tracks); playing from track 1 instead\n"},
        {{"-d7", "-t3"}, "cdrom_device is 0/2 now.\nstart 3/3 cdrom_track.\n",
         "cddaplay: there is no unit \"7\" (2 found, numbered from 0); using unit 0 instead\n"},
        {{"-d10", "-t2"}, "cdrom_device is 0/2 now.\nstart 2/3 cdrom_track.\n",
         "cddaplay: there is no unit \"10\" (2 found, numbered from 0); using unit 0 instead\n"},  // not unit 1
        {{"-d1", "-t2"}, "cdrom_device is 1/2 now.\nstart 2/3 cdrom_track.\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        ProgramRun r = run(c.args);
        EXPECT_EQ(r.out, printed(std::string(c.out) + "now playing...\nFinished.\n"));
        // Standard error is no terminal here: the fallback line and nothing else (no status line).
        EXPECT_EQ(r.err, printed(c.err));
        EXPECT_EQ(r.exit_status, 0);
    }
}

TEST_F(Cddaplay, ListsUnitsAndTheChosenDiscWithItsTextWithoutPlaying) {
    if (under_wine()) GTEST_SKIP() << "the sheet's path is a Linux path";
    // 900 sectors: two audio tracks with CD-Text, then a data track.
    std::vector<char> bin(900 * 2352, '\x5A');
    std::ofstream(dir / "disc.bin", std::ios::binary).write(bin.data(), static_cast<std::streamsize>(bin.size()));
    std::ofstream(dir / "disc.cue") << "TITLE \"Test Songs\"\nPERFORMER \"The Testers\"\n"
                                    << "FILE \"disc.bin\" BINARY\n"
                                    << "  TRACK 01 AUDIO\n    TITLE \"Opening\"\n    PERFORMER \"The Testers\"\n"
                                    << "    INDEX 01 00:00:00\n"
                                    << "  TRACK 02 AUDIO\n    TITLE \"Second\"\n    PERFORMER \"The Testers\"\n"
                                    << "    INDEX 01 00:04:00\n"
                                    << "  TRACK 03 MODE1/2352\n    INDEX 01 00:10:00\n";
    env["CDDAPLAY_IMAGES"] = "builtin;" + (dir / "disc.cue").string();
    ProgramRun r = run({"-d1", "-l"});
    EXPECT_EQ(r.out,
              "unit 0: adapter 0 target 0 lun 0  CDDAPLAY VIRTUAL CD-ROM 1.0  disc in  image \"builtin\"\n"
              "unit 1: adapter 0 target 1 lun 0  CDDAPLAY VIRTUAL CD-ROM 1.0  disc in  image \"disc\"\n"
              "\n"
              "unit 1: 3 tracks, 0:12\n"
              "disc: Test Songs - The Testers\n"
              "track  type   start     length  (start: disc address mm:ss:ff; length: m:ss)\n"
              "    1  audio  00:02:00    0:04  Opening - The Testers\n"
              "    2  audio  00:06:00    0:06  Second - The Testers\n"
              "    3  data   00:12:00    0:02\n"
              "\n"
              "would play: track 1 to track 2, 0:10\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(capture)) << "nothing is played";
    // What -t, -n and -r would play.
    const std::string one_track = run({"-l", "-t2", "-n1", "-r"}).out;
    EXPECT_EQ(one_track.substr(one_track.rfind("\n\n")), "\n\nwould play: track 2 to track 2, 0:08, again and again\n");

    // A unit without a disc is said to be so; its table of contents is not asked for.
    env["CDDAPLAY_FAULTS"] = "not_ready=1";
    ProgramRun empty = run({"-l", "-d1"});
    EXPECT_EQ(empty.out,
              "unit 0: adapter 0 target 0 lun 0  CDDAPLAY VIRTUAL CD-ROM 1.0  disc in  image \"builtin\"\n"
              "unit 1: adapter 0 target 1 lun 0  CDDAPLAY VIRTUAL CD-ROM 1.0  no disc  image \"disc\"\n"
              "\n"
              "unit 1: no disc\n");
    EXPECT_EQ(empty.exit_status, 0);
}

// Everything a terminal shows of `command` run with its standard streams on it (a pseudo-terminal;
// for the Windows program under wine64, the console Wine gives it), without control sequences,
// carriage returns or spaces (a console may draw a space as a cursor move).
std::string on_terminal(const std::vector<std::string> &command, const std::map<std::string, std::string> &env) {
    int terminal = -1, slave = -1;
    if (openpty(&terminal, &slave, nullptr, nullptr, nullptr) != 0) return {};
    for (int fd : {terminal, slave}) fcntl(fd, F_SETFD, FD_CLOEXEC);
    const pid_t pid = start_program(command, env, {slave, slave, slave, slave});
    close(slave);  // the child's own: its end reads EIO once nothing holds the terminal any more
    std::string shown;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{terminal, POLLIN, 0};
        if (poll(&p, 1, ended ? 0 : 500) <= 0) {
            if (ended) break;  // gone, and all it wrote has been read
            ended = waitpid(pid, nullptr, WNOHANG) == pid;
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO: nothing holds the terminal any more
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    if (pid > 0 && !ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(terminal);
    shown = std::regex_replace(shown, std::regex("\x1b\\[[0-9;?]*[A-Za-z]|\x1b\\][^\x07]*\x07|[\r ]"), "");
    return shown;
}

TEST_F(Cddaplay, AccentedTitlesReachATerminalAsWrittenAndAFileAsUtf8) {
    std::vector<char> bin(600 * 2352, '\x5A');
    std::ofstream(dir / "disc.bin", std::ios::binary).write(bin.data(), static_cast<std::streamsize>(bin.size()));
    std::ofstream(dir / "disc.cue") << "TITLE \"Café Größe\"\nPERFORMER \"Señor Ñu\"\nFILE \"disc.bin\" BINARY\n"
                                    << "  TRACK 01 AUDIO\n    TITLE \"Déjà vu\"\n    INDEX 01 00:00:00\n";
    env["CDDAPLAY_IMAGES"] = (dir / "disc.cue").string();

    // Standard output to a pipe (a file): UTF-8, whatever the platform.
    const ProgramRun file = run({"-l"});
    EXPECT_NE(file.out.find(printed("disc: Café Größe - Señor Ñu\n")), std::string::npos) << file.out;
    EXPECT_NE(file.out.find(printed("  Déjà vu\n")), std::string::npos) << file.out;
    EXPECT_EQ(file.exit_status, 0);

    // On a terminal, the same characters: a Windows console whose code page is not UTF-8 gets them
    // as characters, not as UTF-8 bytes read in its code page ("CafÃ©").
    // (wine64 itself, not its launcher, which keeps the program's output off the terminal; the
    // prefix is the one the launcher made for the run above.)
    std::vector<std::string> command;
    if (under_wine()) {
        command.push_back("/usr/lib/wine/wine64");
        env["WINEPREFIX"] = win64_build() + "/wineprefix";
        env["WINEDEBUG"] = "-all";
        env["WINEDLLOVERRIDES"] = "wnaspi32=n";
        env["DISPLAY"] = "\x01";
    }
    command.push_back(program());
    command.push_back("-l");
    const std::string shown = on_terminal(command, env);
    EXPECT_NE(shown.find("disc:CaféGröße-SeñorÑu"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Déjàvu"), std::string::npos) << shown;
}

TEST_F(Cddaplay, EnterStopsPlaybackPartWay) {
    // 60 ms per READ CD: a chunk takes about half a second to read, so the first is queued well
    // before ENTER even on a loaded machine (a chunk still being fetched then is given up), and
    // the whole disc would take at least 6.8 s, far more than is read by then.
    env["CDDAPLAY_FAULTS"] = "latency=60";
    ProgramRun r = run({}, {printed("now playing...\n"), 2000ms});
    EXPECT_EQ(r.out, printed(std::string(kHeader3) + "now playing...\nFinished.\n"));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_LT(r.after_enter, 5000ms) << "it must not play on to the end of the disc";
    const auto whole = disc(0, builtin::kLeadOut);
    const std::optional<std::size_t> part = heard(whole);
    ASSERT_TRUE(part.has_value()) << "what was heard is the disc's start and nothing else";
    EXPECT_GT(*part, 0u);
    EXPECT_LT(*part, whole.size()) << "stopped part-way";
}

TEST_F(Cddaplay, OnlyTheSectorsTheDriveCannotReadPlayAsSilence) {
    struct Case {
        const char *faults;
        std::int32_t first_bad, last_bad;
    };
    // READ CD groups are 10 sectors from the track start: the group 100-109 fails whole and is
    // read again sector by sector. (Few enough re-reads that their time limit is never reached,
    // even under Wine.)
    for (const Case &c : {Case{"fail_read=100-102", 100, 102}, Case{"fail_read=105", 105, 105}}) {
        SCOPED_TRACE(c.faults);
        fs::remove(capture);
        env["CDDAPLAY_FAULTS"] = c.faults;
        ProgramRun r = run({});
        EXPECT_EQ(r.out, printed(std::string(kHeader3) + "now playing...\nFinished.\n"));
        auto expected = disc(0, builtin::kLeadOut);
        std::fill(expected.begin() + c.first_bad * 2352, expected.begin() + (c.last_bad + 1) * 2352, 0);
        expect_audio(expected);
    }
}

TEST_F(Cddaplay, AReadTheDriveNeverAnswersIsSilentAndEverySectorAroundItPlays) {
    // The group 120-129, in the middle of the second chunk, never completes: the reader gives it up
    // after its time-out and the chunk goes on in a buffer of its own. The sectors read before the
    // hole in that chunk, and everything after it, are heard unchanged.
    env["CDDAPLAY_FAULTS"] = "hang_lba=125";
    ProgramRun r = run({});
    EXPECT_EQ(r.out, printed(std::string(kHeader3) + "now playing...\nwait time out\nFinished.\n"));
    EXPECT_EQ(r.exit_status, 0);
    auto expected = disc(0, builtin::kLeadOut);
    std::fill(expected.begin() + 120 * 2352, expected.begin() + 130 * 2352, 0);
    expect_audio(expected);
}

TEST_F(Cddaplay, MixedModeDiscPlaysItsAudioAndNeverItsDataTrack) {
    // A game CD: data track 1 (100 sectors), audio tracks 2 (150) and 3 (120), one file.
    const auto data = sectors(100, 0x80);
    const auto audio = sectors(270, 0x11);
    std::vector<std::uint8_t> image = data;
    image.insert(image.end(), audio.begin(), audio.end());
    write_image_file("game.bin", image);
    env["CDDAPLAY_IMAGES"] = write_sheet("game.cue", "FILE \"game.bin\" BINARY\n"
                                                     "  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                                     "  TRACK 02 AUDIO\n    INDEX 01 00:01:25\n"
                                                     "  TRACK 03 AUDIO\n    INDEX 01 00:03:25\n");
    struct Case {
        std::vector<std::string> args;
        const char *track_line;
        std::int32_t from;  // first audio sector played, counted from track 2's start
    };
    const Case cases[] = {{{}, "start 2/3 cdrom_track.\n", 0},
                          {{"-t1"}, "start 2/3 cdrom_track.\n", 0},
                          {{"-t3"}, "start 3/3 cdrom_track.\n", 150}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.track_line);
        expect_played_to_the_end(c.args, c.track_line, {audio.begin() + c.from * 2352, audio.end()});
    }
}

TEST_F(Cddaplay, EnhancedCdStopsAtTheEndOfItsLastAudioTrack) {
    // Audio tracks 1-2 in session 1 (200 sectors), a Mode 2 data track in session 2.
    const auto audio = sectors(200, 0x21);
    write_image_file("audio.bin", audio);
    write_image_file("extra.bin", sectors(60, 0x90));
    env["CDDAPLAY_IMAGES"] = write_sheet("extra.cue", "REM SESSION 01\n"
                                                      "FILE \"audio.bin\" BINARY\n"
                                                      "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                                      "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n"
                                                      "REM SESSION 02\n"
                                                      "FILE \"extra.bin\" BINARY\n"
                                                      "  TRACK 03 MODE2/2352\n    INDEX 01 00:00:00\n");
    env["CDDAPLAY_FAULTS"] = trace_setting();
    ProgramRun r = run({});
    EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\nstart 1/3 cdrom_track.\nnow playing...\nFinished.\n"));
    EXPECT_EQ(r.exit_status, 0);
    expect_audio(audio);
    for (const std::string &line : traced()) {
        if (line.find(": BE ") == std::string::npos) continue;
        std::istringstream bytes(line.substr(line.find(':') + 1));
        std::vector<unsigned> cdb;
        for (unsigned b; bytes >> std::hex >> b;) cdb.push_back(b);
        ASSERT_GE(cdb.size(), 9u) << line;
        const unsigned lba = cdb[2] << 24 | cdb[3] << 16 | cdb[4] << 8 | cdb[5];
        const unsigned count = cdb[6] << 16 | cdb[7] << 8 | cdb[8];
        EXPECT_LE(lba + count, 200u) << "nothing of the gap or the data is read: " << line;
    }

    // The listing measures track 2 to the end of its audio (125 sectors), not to the data track
    // 11,400 sectors further on.
    std::string listed = run({"-l"}).out;
    std::erase(listed, '\r');  // the Windows program's lines end in CR LF
    EXPECT_NE(listed.find("    2  audio  00:03:00    0:01\n"), std::string::npos) << listed;
}

TEST_F(Cddaplay, DiscWithoutAudioSaysSoAndPlaysNothing) {
    write_image_file("data.bin", sectors(300, 0x80));
    env["CDDAPLAY_IMAGES"] = write_sheet("data.cue", "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
    ProgramRun r = run({});
    EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\n"));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("no audio track"), std::string::npos) << r.err;
    EXPECT_TRUE(captured().empty()) << "no sound device was opened, nothing played";
}

TEST_F(Cddaplay, TableOfContentsGoingBackwardsIsRefused) {
    env["CDDAPLAY_FAULTS"] = "toc_start=3:100";  // track 3 reported before track 2
    ProgramRun r = run({});
    EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\nfail to get cdrom_data\n"));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("track 3 starts before track 2"), std::string::npos) << r.err;
    EXPECT_TRUE(captured().empty());
}

TEST_F(Cddaplay, SpeedIsSetBeforeTheFirstReadAndTheMaximumRestoredAfterTheLast) {
    env["CDDAPLAY_FAULTS"] = trace_setting();
    ProgramRun r = run({"-s4", "-t3"});
    EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\nstart 3/3 cdrom_track.\nnow playing...\nFinished.\n"));
    expect_audio(disc(builtin::kTrackStart[2], builtin::kLeadOut));
    const auto lines = traced();
    auto is_read = [](const std::string &l) { return l.find(": BE ") != std::string::npos; };
    const auto first_read = std::find_if(lines.begin(), lines.end(), is_read);
    const auto last_read = std::find_if(lines.rbegin(), lines.rend(), is_read).base();
    ASSERT_NE(first_read, lines.end());
    const std::vector<std::string> before(lines.begin(), first_read), after(last_read, lines.end());
    EXPECT_EQ(std::count(before.begin(), before.end(), "unit 0: BB 00 02 C0 FF FF 00 00 00 00 00 00"), 1);
    EXPECT_EQ(after, std::vector<std::string>{"unit 0: BB 00 FF FF FF FF 00 00 00 00 00 00"});
    EXPECT_EQ(std::count_if(first_read, last_read, [](const std::string &l) { return l.find(": BB ") != std::string::npos; }), 0);

    // Without -s nothing is sent.
    fs::remove(dir / "trace.txt");
    run({"-t3"});
    for (const std::string &line : traced()) EXPECT_EQ(line.find(": BB "), std::string::npos) << line;
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
    EXPECT_EQ(r.exit_status, 1) << "nothing could be played: a failure";
    // Also when ENTER comes after the driver has given up.
    EXPECT_EQ(run({}, {printed("fail to get the wave device\n"), 100ms}).exit_status, 1);
    if (!under_wine()) {
        // alsa-lib's reason, once, on one line of our own.
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("sound output \"default\" cannot be opened"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Unknown PCM default"), std::string::npos) << r.err;
    }
}

TEST_F(Cddaplay, SoundOutputThatStopsWorkingEndsPlaybackWithOneLine) {
    if (under_wine()) GTEST_SKIP() << "the ALSA back end only";
    // A sink whose writes fail for good; a READ CD well past the first chunks would hang, so a
    // program that read on through the disc would print "wait time out".
    std::ofstream(dir / "failing.conf") << "</usr/share/alsa/alsa.conf>\n"
                                        << "pcm.!default { type file slave.pcm \"null\" file \"/dev/full\" format \"raw\" }\n";
    env["ALSA_CONFIG_PATH"] = (dir / "failing.conf").string();
    env["CDDAPLAY_FAULTS"] = "hang=readcd#40";
    ProgramRun r = run({});
    EXPECT_EQ(r.out, std::string(kHeader3) + "now playing...\nFinished.\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("sound output stopped working"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

}  // namespace
