// The built program on a machine without CD drives and without images: our library finds no
// adapter, and the program says so on standard output and nothing else.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/program_run.h"

namespace {

using namespace std::chrono_literals;

bool machine_has_cd_drive() {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/dev", ec))
        if (entry.path().filename().string().rfind("sr", 0) == 0) return true;
    return false;
}

TEST(CddaplayWithoutDrives, SaysThereIsNoAdapterAndNoUnitAndFails) {
    if (machine_has_cd_drive()) GTEST_SKIP() << "this machine has a CD drive";
    const ProgramRun run = run_program(
        {CDDAPLAY_BIN_DIR "/cddaplay", "-d0", "-t1"},
        {{"CDDAPLAY_IMAGES", "\x01"}, {"CDDAPLAY_FAULTS", "\x01"}, {"CDDAPLAY_DESCRIBE", "1"}, {"LD_LIBRARY_PATH", "\x01"}},
        {}, 60s);
    EXPECT_EQ(run.out, "this pc does'nt support adapters\nfail to get cdrom_device.\n");
    EXPECT_EQ(run.exit_status, 1);
    // No unit to describe, no node refused: only the program's hint on what to do.
    EXPECT_EQ(run.err, "cddaplay: no CD-ROM unit found; to play a disc image, name its CUE sheet: cddaplay album.cue\n");
}

}  // namespace
