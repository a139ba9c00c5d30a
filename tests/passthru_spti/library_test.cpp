// The ASPI manager over the spti back end, in-process, on a made-up machine: the spti back end's
// part of the shared library tests (tests/real_drive/library_test.cpp), and what only it does: a
// drive another program holds, a command the system cancels.
#include <gtest/gtest.h>

#include <vector>

#include "aspi/aspi32.h"
#include "passthru/manager.h"
#include "platform/platform.h"
#include "tests/passthru_spti/fake_system.h"
#include "tests/real_drive/library.h"
#include "tests/real_drive/seam.h"

namespace {

using namespace std::chrono_literals;
using real_drive_test::Exec;
using real_drive_test::kCanary;
using spti_test::answer_data;
using spti_test::FakeMachine;

// One drive D: at port 1, path 0, target 0, limits as Wine tells them.
struct SptiLibraryDrive : real_drive_test::LibraryDrive {
    SptiLibraryDrive() {
        spti_test::FakeDrive d = spti_test::drive('D', 0, {1, 0, 0, 0});
        d.adapter_descriptor = spti_test::adapter_descriptor(0x10000, 0, 0x1000);
        machine.add(d);
        real_drive_test::set_virtual_adapters(1);
        real_drive_test::use_fake_system(true);
    }
    const char *adapter_name() const override { return "spti port1:0"; }
    std::array<std::uint8_t, 8> ha_unique() const override {
        return {0xFF, 0x1F, 0x02, 16, 0x00, 0x00, 0x01, 0x00};  // mask 0x1FFF, 64 KiB
    }
    void answer_good() override { machine.respond = nullptr; }
    void answer_data(std::vector<std::uint8_t> bytes) override { machine.respond = spti_test::answer_data(bytes); }
    void answer_check_condition(std::vector<std::uint8_t> sense) override {
        machine.respond = spti_test::answer_status(0x02, sense, 0);
    }
    void answer_time_out() override { machine.respond = spti_test::fail_with(ERROR_SEM_TIMEOUT); }

    FakeMachine machine;
};

SptiLibraryDrive &drive() {
    static auto *made = new SptiLibraryDrive;
    return *made;
}
FakeMachine &machine() { return drive().machine; }

Exec read_cd(std::uint32_t sectors) { return Exec(real_drive_test::read_cd_cdb(sectors), sectors * 2352); }

class SptiLibrary : public ::testing::Test {
protected:
    void SetUp() override { drive().answer_good(); }
};

TEST_F(SptiLibrary, ADriveAnotherProgramHoldsFailsTheReadAsBusy) {
    // A failed read (SS_ERR, target status BUSY), not a bad request.
    machine().respond = spti_test::fail_with(ERROR_ACCESS_DENIED);
    Exec held = read_cd(1);
    ASSERT_EQ(held.run(), SS_PENDING);
    EXPECT_EQ(held.status(), SS_ERR);
    EXPECT_EQ(held.srb.SRB_TargStat, 0x08);
    EXPECT_EQ(held.srb.SRB_HaStat, HASTAT_OK);
}

TEST_F(SptiLibrary, AbortedReadIsCancelledAndItsLateAnswerNeverReachesTheCaller) {
    machine().respond = spti_test::hold();
    const int cancels_before = machine().cancels;
    Exec aborted = read_cd(10);
    ASSERT_EQ(passthru::send_command(&aborted.srb), SS_PENDING);
    machine().wait_for_held();

    EXPECT_EQ(real_drive_test::abort_request(aborted), SS_COMP);
    EXPECT_EQ(aborted.status(), SS_ABORTED);
    EXPECT_EQ(platform::wait_event(aborted.event, 0ms), platform::WaitResult::signalled);

    machine().wait_for_cancel();
    EXPECT_GT(machine().cancels, cancels_before) << "the system was asked to cancel";
    // The drive answers after all, with data, into the command's buffer.
    ASSERT_TRUE(machine().finish(answer_data(std::vector<std::uint8_t>(23520, 0x77))));
    machine().respond = nullptr;
    Exec next = read_cd(1);  // runs after the aborted one has come back from the system
    next.run();
    EXPECT_EQ(next.status(), SS_COMP);
    EXPECT_FALSE(machine().holding()) << "the library waited for the system to end the aborted read";
    EXPECT_EQ(aborted.status(), SS_ABORTED);
    EXPECT_EQ(aborted.buffer, std::vector<std::uint8_t>(23520, kCanary));
    EXPECT_EQ(platform::wait_event(aborted.event, 0ms), platform::WaitResult::timed_out) << "signalled once";
}

}  // namespace

real_drive_test::LibraryDrive &real_drive_test::library_drive() { return drive(); }
