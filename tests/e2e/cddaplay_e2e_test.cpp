// The built program end to end: our pass-through library serving the built-in disc, the sound
// captured through ALSA's file sink, stdout compared byte for byte and the audio bit for bit.
//
// The program under test is bin/cddaplay of this build or, when CDDAPLAY_E2E_WIN64_BUILD names a
// win64 build, its cddaplay.exe started under wine64 by cmake/wine64-run.sh.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "passthru/image/builtin_disc.h"
#include "tests/e2e/program_run.h"

namespace {

namespace fs = std::filesystem;
namespace builtin = passthru::image::builtin;
using namespace std::chrono_literals;

constexpr char kHeader3[] = "cdrom_device is 0/1 now.\nstart 1/3 cdrom_track.\n";

std::string env_or(const char *name, const std::string &fallback) {
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}

class Cddaplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (under_wine() && !fs::exists(program()))
            GTEST_SKIP() << "no Windows program at " << program()
                         << ": build it first with cmake --preset win64 && cmake --build --preset win64";
        dir = fs::temp_directory_path() / ("cddaplay-e2e-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        capture = dir / "out.raw";
        std::ofstream(dir / "capture.conf")
            << "</usr/share/alsa/alsa.conf>\n"
            << "pcm.!default { type file slave.pcm \"null\" file \"" << capture.string() << "\" format \"raw\" }\n";
        std::ofstream(dir / "no-device.conf") << "# no PCM at all\n";
        env = {{"CDDAPLAY_IMAGES", "builtin"},
               {"CDDAPLAY_FAULTS", "\x01"},
               {"ALSA_CONFIG_PATH", (dir / "capture.conf").string()}};
    }
    void TearDown() override {
        if (dir.empty()) return;  // skipped before anything was made
        if (HasFailure())
            std::cerr << "the program's standard error:\n" << last_err << "\nits files: " << dir << "\n";
        else
            fs::remove_all(dir);
    }

    ProgramRun run(std::vector<std::string> args, const ProgramInput &input = {}) {
        std::vector<std::string> command;
        if (under_wine()) {
            command.push_back(CDDAPLAY_SOURCE_DIR "/cmake/wine64-run.sh");
            env["CDDAPLAY_WIN64_BUILD"] = win64_build();
        }
        command.push_back(program());
        command.insert(command.end(), args.begin(), args.end());
        ProgramRun r = run_program(command, env, input, 120s);
        last_err = r.err;
        // A sanitizer build reports here, also when the program ends without running exit's hooks.
        for (const char *report : {"Sanitizer", "runtime error"})
            EXPECT_EQ(r.err.find(report), std::string::npos) << "a sanitizer report";
        return r;
    }

    // What the program prints for `text`: a Windows program's standard output is in text mode,
    // where every "\n" goes out as "\r\n".
    static std::string printed(const std::string &text) {
        if (!under_wine()) return text;
        std::string out;
        for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out;
    }

    static std::string win64_build() { return env_or("CDDAPLAY_E2E_WIN64_BUILD", ""); }
    static bool under_wine() { return !win64_build().empty(); }
    static std::string program() {
        return under_wine() ? win64_build() + "/bin/cddaplay.exe" : CDDAPLAY_BIN_DIR "/cddaplay";
    }

    std::vector<std::uint8_t> captured() const {
        std::ifstream f(capture, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }

    static std::vector<std::uint8_t> disc(std::int32_t from, std::int32_t to) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(to - from) * 2352);
        for (std::int32_t lba = from; lba < to; ++lba) builtin::sector(lba, out.data() + (lba - from) * 2352);
        return out;
    }

    // How much of `expected`, from its start, the capture holds, when all it holds besides is
    // trailing silence (the sink may add some when closed); nullopt when it holds anything else.
    // Under Wine the capture also holds silence that Wine's mixer wrote whenever the unpaced sink
    // had played everything queued before the next buffer came: between two of the program's
    // buffers (every CHUNK_BYTES of the disc), runs of silent frames are passed over.
    std::optional<std::size_t> heard(const std::vector<std::uint8_t> &expected) const {
        constexpr std::size_t kChunkBytes = 188160;
        const auto got = captured();
        auto silent = [&](std::size_t from, std::size_t to) {
            return std::all_of(got.begin() + from, got.begin() + to, [](std::uint8_t b) { return b == 0; });
        };
        std::size_t at = 0;
        for (std::size_t from = 0; from < expected.size();) {
            const std::size_t n = std::min(kChunkBytes, expected.size() - from);
            const std::size_t avail = std::min(n, got.size() - at);
            const std::size_t same = static_cast<std::size_t>(
                std::mismatch(got.begin() + at, got.begin() + at + avail, expected.begin() + from).first -
                (got.begin() + at));
            if (same == n) {
                at += n;
                from += n;
            } else if (silent(at + same, got.size())) {
                return from + same;  // the capture ends here, in this buffer
            } else if (under_wine() && at + 4 <= got.size() && silent(at, at + 4)) {
                at += 4;
            } else {
                return std::nullopt;
            }
        }
        return silent(at, got.size()) ? std::optional<std::size_t>(expected.size()) : std::nullopt;
    }

    void expect_audio(const std::vector<std::uint8_t> &expected) const {
        EXPECT_EQ(heard(expected), std::optional<std::size_t>(expected.size()))
            << "the capture is not the expected audio followed by silence";
    }

    fs::path dir, capture;
    std::map<std::string, std::string> env;
    std::string last_err;
};

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
    env["CDDAPLAY_IMAGES"] = (dir / "missing.cue").string();
    ProgramRun no_unit = run({});
    EXPECT_EQ(no_unit.out, printed("cdrom_device is 0/0 now.\ncdrom_device is not abilable\nfail to get cdrom_data\n"));
    EXPECT_EQ(no_unit.exit_status, 1);

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
