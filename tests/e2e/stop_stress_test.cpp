// Stopping under load, many times over: ENTER while a read hangs, and ENTER at random moments while
// every command takes a random time. Built for the sanitizer builds, where a teardown that races a
// thread still inside the pass-through library shows up as a report on standard error. Each run's
// ENTER moment and latencies come from a seed that a failure names; CDDAPLAY_STRESS_SEED replays.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>

#include "passthru/image/builtin_disc.h"
#include "tests/e2e/program_run.h"

namespace {

namespace fs = std::filesystem;
namespace builtin = passthru::image::builtin;
using namespace std::chrono_literals;

constexpr int kRuns = 50;
constexpr int kAtOnce = 10;  // runs side by side: they mostly wait, on the drive or for ENTER
constexpr char kStarted[] = "cdrom_device is 0/1 now.\nstart 1/3 cdrom_track.\nnow playing...\n";

std::uint32_t base_seed() {
    const char *s = std::getenv("CDDAPLAY_STRESS_SEED");
    return s && *s ? static_cast<std::uint32_t>(std::strtoul(s, nullptr, 10)) : 20261208u;
}

struct Outcome {
    std::uint32_t seed;
    ProgramRun run;
    std::vector<std::uint8_t> capture;
};

class StopUnderLoad : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("cddaplay-stress-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }

    // One run with its own capture file; `faults` and the ENTER delay as the seed gives them.
    Outcome run_once(std::uint32_t seed, const std::string &faults, std::chrono::milliseconds enter_delay) {
        const fs::path capture = dir / ("out-" + std::to_string(seed) + ".raw");
        const fs::path conf = dir / ("capture-" + std::to_string(seed) + ".conf");
        std::ofstream(conf) << "</usr/share/alsa/alsa.conf>\n"
                            << "pcm.!default { type file slave.pcm \"null\" file \"" << capture.string()
                            << "\" format \"raw\" }\n";
        const std::map<std::string, std::string> env = {
            {"CDDAPLAY_IMAGES", "builtin"}, {"CDDAPLAY_FAULTS", faults}, {"ALSA_CONFIG_PATH", conf.string()}};
        Outcome o{seed, run_program({CDDAPLAY_BIN_DIR "/cddaplay"}, env, {kStarted, enter_delay}, 120s), {}};
        std::ifstream f(capture, std::ios::binary);
        o.capture.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        return o;
    }

    // kRuns runs, kAtOnce at a time; `make` turns a seed into the run's faults and ENTER delay.
    template <typename Make> std::vector<Outcome> run_many(Make make) {
        std::vector<Outcome> all;
        for (int first = 0; first < kRuns; first += kAtOnce) {
            std::vector<std::future<Outcome>> batch;
            for (int i = first; i < std::min(kRuns, first + kAtOnce); ++i) {
                const std::uint32_t seed = base_seed() + static_cast<std::uint32_t>(i);
                batch.push_back(std::async(std::launch::async, [this, seed, make] {
                    std::mt19937 draw(seed);
                    const auto [faults, delay] = make(seed, draw);
                    return run_once(seed, faults, delay);
                }));
            }
            for (auto &f : batch) all.push_back(f.get());
        }
        return all;
    }

    static void expect_clean_stop(const Outcome &o) {
        SCOPED_TRACE("seed " + std::to_string(o.seed) + " (CDDAPLAY_STRESS_SEED replays a batch from it)");
        EXPECT_EQ(o.run.exit_status, 0) << "standard error:\n" << o.run.err;
        const bool finished = o.run.out == std::string(kStarted) + "Finished.\n";
        EXPECT_TRUE(o.run.out == kStarted || finished) << o.run.out;
        for (const char *report : {"Sanitizer", "runtime error"})
            EXPECT_EQ(o.run.err.find(report), std::string::npos) << o.run.err;
    }

    fs::path dir;
};

// Every read hangs until the program gives it up: ENTER comes while the driver waits on it, and the
// process has to end within its grace time without tearing the library down under that read.
TEST_F(StopUnderLoad, EnterWhileAReadHangsEndsCleanlyEveryTime) {
    const auto all = run_many([](std::uint32_t, std::mt19937 &draw) {
        return std::pair{std::string("hang=readcd"), std::chrono::milliseconds{draw() % 500}};
    });
    for (const Outcome &o : all) {
        expect_clean_stop(o);
        EXPECT_TRUE(std::all_of(o.capture.begin(), o.capture.end(), [](std::uint8_t b) { return b == 0; }))
            << "nothing was read, so nothing but silence can have been played; seed " << o.seed;
    }
}

// Every command takes 120-150 ms and ENTER comes at any moment of the first two seconds: whether
// the driver ends between commands or is still inside one, the process ends cleanly, and what was
// heard is the disc's beginning, bit for bit.
TEST_F(StopUnderLoad, EnterAtRandomMomentsWithSlowCommandsEndsCleanlyEveryTime) {
    const auto all = run_many([](std::uint32_t seed, std::mt19937 &draw) {
        return std::pair{"latency=120-150;seed=" + std::to_string(seed), std::chrono::milliseconds{draw() % 2000}};
    });
    std::vector<std::uint8_t> disc(static_cast<std::size_t>(builtin::kLeadOut) * 2352);
    for (std::int32_t lba = 0; lba < builtin::kLeadOut; ++lba) builtin::sector(lba, disc.data() + lba * 2352);
    for (const Outcome &o : all) {
        expect_clean_stop(o);
        const auto end = std::mismatch(o.capture.begin(), o.capture.end(), disc.begin()).first;
        EXPECT_TRUE(std::all_of(end, o.capture.end(), [](std::uint8_t b) { return b == 0; }))
            << "the capture is not the disc's start followed by silence; seed " << o.seed;
    }
}

}  // namespace
