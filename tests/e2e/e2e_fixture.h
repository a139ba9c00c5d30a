#pragma once
// The end-to-end fixture: runs the built program (natively, or the win64 build under wine64) with
// our pass-through library's virtual drives and ALSA's file sink, and compares what was heard.
//
// The program under test is bin/cddaplay of this build or, when CDDAPLAY_E2E_WIN64_BUILD names a
// win64 build, its cddaplay.exe started under wine64 by cmake/wine64-run.sh.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "passthru/image/builtin_disc.h"
#include "tests/e2e/program_run.h"

namespace e2e {


namespace fs = std::filesystem;
namespace builtin = passthru::image::builtin;
using namespace std::chrono_literals;

constexpr char kHeader3[] = "cdrom_device is 0/1 now.\nstart 1/3 cdrom_track.\n";

inline std::string env_or(const char *name, const std::string &fallback) {
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
               {"CDDAPLAY_IMAGES_REPORTED", "\x01"},
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

    // Sectors for an image file: audio with a recognisable pattern per sector, or data sectors,
    // which would be loud noise if they were ever played.
    static std::vector<std::uint8_t> sectors(std::int32_t count, std::uint8_t tag) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(count) * 2352);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<std::uint8_t>(tag + i / 2352 * 3 + i * 7 + (i >> 9));
        return out;
    }
    void write_image_file(const std::string &name, const std::vector<std::uint8_t> &bytes) const {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string write_sheet(const std::string &name, const std::string &text) const {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    }

    // The commands the virtual drive was given, one line each ("unit 0: BE 00 ..."), from the
    // trace file that CDDAPLAY_FAULTS=trace=... names.
    std::vector<std::string> traced() const {
        std::vector<std::string> lines;
        std::ifstream f(dir / "trace.txt");
        for (std::string line; std::getline(f, line);) lines.push_back(line);
        return lines;
    }
    std::string trace_setting() const { return "trace=" + (dir / "trace.txt").string(); }

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
    // buffers (every CHUNK_BYTES of the disc) and, on a loaded machine, part-way through one (its
    // mixer runs dry between periods), runs of silent frames are passed over. Every frame of the
    // disc must still come, in order.
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
            } else if (under_wine() && same % 4 == 0 && at + same + 4 <= got.size() && silent(at + same, at + same + 4)) {
                at += same + 4;  // a silent frame of Wine's mixer, here or part-way through a buffer
                from += same;
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

    // A run with `args` that chooses unit 0, announces `track_line`, plays to the end of its range
    // and is heard as `expected`.
    void expect_played_to_the_end(const std::vector<std::string> &args, const std::string &track_line,
                                  const std::vector<std::uint8_t> &expected) {
        fs::remove(capture);
        const ProgramRun r = run(args);
        EXPECT_EQ(r.out, printed("cdrom_device is 0/1 now.\n" + track_line + "now playing...\nFinished.\n"));
        EXPECT_EQ(r.exit_status, 0);
        expect_audio(expected);
    }

    fs::path dir, capture;
    std::map<std::string, std::string> env;
    std::string last_err;
};

}  // namespace e2e
