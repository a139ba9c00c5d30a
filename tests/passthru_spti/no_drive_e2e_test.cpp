// The 64-bit Windows program under wine64 with our library's real back ends on this machine (no CD
// drive, no images): the library finds no adapter, and the program says so on standard output and
// nothing else.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/e2e/program_run.h"

namespace {

using namespace std::chrono_literals;

TEST(CddaplayExeWithoutDrives, SaysThereIsNoAdapterAndHowToPlayAnImage) {
    const char *build = std::getenv("CDDAPLAY_E2E_WIN64_BUILD");
    ASSERT_TRUE(build && *build);
    const std::string program = std::string(build) + "/bin/cddaplay.exe";
    if (!std::filesystem::exists(program))
        GTEST_SKIP() << "no Windows program at " << program
                     << ": build it first with cmake --preset win64 && cmake --build --preset win64";
    const ProgramRun run = run_program(
        {CDDAPLAY_SOURCE_DIR "/cmake/wine64-run.sh", program, "-d0", "-t1"},
        {{"CDDAPLAY_WIN64_BUILD", build}, {"CDDAPLAY_IMAGES", "\x01"}, {"CDDAPLAY_FAULTS", "\x01"},
         {"CDDAPLAY_DESCRIBE", "1"}},
        {}, 120s);
    EXPECT_EQ(run.out, "this pc does'nt support adapters\r\nfail to get cdrom_device.\r\n");
    EXPECT_EQ(run.exit_status, 1);
    // No drive to describe, none refused: only the program's hint on what to do.
    EXPECT_EQ(run.err, "cddaplay: no CD-ROM unit found; to play a disc image, name its CUE sheet: cddaplay album.cue\r\n");
}

}  // namespace
