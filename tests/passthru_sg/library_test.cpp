// The ASPI manager over the sg back end, in-process, on a made-up machine: the sg back end's part
// of the shared library tests (tests/real_drive/library_test.cpp), and what only SG_IO does:
// residuals, the kernel's refusals, a command it cannot cancel, the queue's limit.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/manager.h"
#include "platform/platform.h"
#include "tests/passthru_sg/fake_system.h"
#include "tests/real_drive/library.h"
#include "tests/real_drive/seam.h"

namespace {

using namespace std::chrono_literals;
using real_drive_test::Exec;
using real_drive_test::kCanary;
using sg_test::answer_data;
using sg_test::answer_status;
using sg_test::fail_with;
using sg_test::FakeMachine;

// One unit at 2:0:0:0 with a 64 KiB queue limit.
struct SgLibraryDrive : real_drive_test::LibraryDrive {
    SgLibraryDrive() {
        machine.add(sg_test::cd_unit({2, 0, 0, 0}, 0, 0, &sg_test::CdUnit::max_hw_kib, 64));
        real_drive_test::set_virtual_adapters(1);
        real_drive_test::use_fake_system(true);
    }
    const char *adapter_name() const override { return "sg scsi2:0"; }
    std::array<std::uint8_t, 8> ha_unique() const override {
        return {0x00, 0x00, 0x02, 16, 0x00, 0x00, 0x01, 0x00};  // any alignment, 64 KiB: the unit's queue limit
    }
    void answer_good() override { machine.respond = nullptr; }
    void answer_data(std::vector<std::uint8_t> bytes) override { machine.respond = sg_test::answer_data(bytes); }
    void answer_check_condition(std::vector<std::uint8_t> sense) override {
        machine.respond = answer_status(0x02, 0, 0x08, sense, 23520);
    }
    void answer_time_out() override {  // DID_TIME_OUT, nothing moved
        machine.respond = [](sg_io_hdr_t &h) {
            const int result = answer_status(0, 0x03, 0)(h);
            h.resid = static_cast<int>(h.dxfer_len);
            return result;
        };
    }

    FakeMachine machine;
};

SgLibraryDrive &drive() {
    static auto *made = new SgLibraryDrive;
    return *made;
}
FakeMachine &machine() { return drive().machine; }

Exec read_cd(std::uint32_t sectors, std::uint8_t flags = SRB_DIR_IN) {
    return Exec(real_drive_test::read_cd_cdb(sectors), sectors * 2352, flags);
}

class SgLibrary : public ::testing::Test {
protected:
    void SetUp() override { drive().answer_good(); }
};

TEST_F(SgLibrary, ShortReadsCompleteWithTheirResidual) {
    machine().respond = answer_data(std::vector<std::uint8_t>(2352 * 4, 0x43));  // a data track's short read
    Exec shorter = read_cd(10, SRB_DIR_IN | SRB_ENABLE_RESIDUAL_COUNT);
    ASSERT_EQ(shorter.run(), SS_PENDING);
    EXPECT_EQ(shorter.status(), SS_COMP);
    EXPECT_EQ(shorter.srb.SRB_BufLen, 2352u * 6);
    EXPECT_EQ(shorter.buffer[2352 * 4 - 1], 0x43);
    EXPECT_EQ(shorter.buffer[2352 * 4], kCanary) << "nothing past what the drive sent";
}

TEST_F(SgLibrary, ShortReadOnAnAdapterThatReportsNoResidualLeavesSilenceNotAnEarlierReadsBytes) {
    machine().respond = answer_data(std::vector<std::uint8_t>(23520, 0x42));
    read_cd(10).run();  // the library's buffer now holds this read's audio
    machine().respond = [](sg_io_hdr_t &h) {
        const int result = answer_data(std::vector<std::uint8_t>(2352 * 4, 0x43))(h);
        h.resid = 0;  // the host adapter counts nothing: 4 sectors moved, "all" reported
        return result;
    };
    Exec shorter = read_cd(10, SRB_DIR_IN | SRB_ENABLE_RESIDUAL_COUNT);
    ASSERT_EQ(shorter.run(), SS_PENDING);
    EXPECT_EQ(shorter.status(), SS_COMP);
    EXPECT_EQ(shorter.buffer[2352 * 4 - 1], 0x43);
    EXPECT_EQ(std::vector<std::uint8_t>(shorter.buffer.begin() + 2352 * 4, shorter.buffer.end()),
              std::vector<std::uint8_t>(2352 * 6, 0))
        << "what never arrived is silence";
}

TEST_F(SgLibrary, CommandsTheKernelRefusesCompleteWithAspiStatusAndAreSignalled) {
    const std::pair<int, std::uint8_t> rows[] = {
        {ENODEV, SS_NO_DEVICE}, {EPERM, SS_INVALID_SRB}, {ENOMEM, SS_ASPI_IS_BUSY}, {EINVAL, SS_INVALID_SRB}};
    for (const auto &[error, status] : rows) {
        machine().respond = fail_with(error);
        Exec r = read_cd(1);
        EXPECT_EQ(r.run(), SS_PENDING) << error;
        EXPECT_TRUE(r.signalled) << error;
        EXPECT_EQ(r.status(), status) << error;
        EXPECT_EQ(r.buffer, std::vector<std::uint8_t>(2352, kCanary)) << "no data from a refused command";
    }
    machine().respond = nullptr;
    Exec again = read_cd(1);
    again.run();
    EXPECT_EQ(again.status(), SS_COMP) << "the unit answers again once its node opens";
}

TEST_F(SgLibrary, AbortedReadFinishesInTheLibrarysOwnBufferAndNeverReachesTheCaller) {
    // SG_IO cannot be cancelled: the kernel's answer comes after the abort has been granted.
    std::atomic<int> stage{0};  // 1: the kernel has the command; 2: it may answer. seq_cst
    machine().respond = [&stage](sg_io_hdr_t &h) {
        stage.store(1);
        stage.notify_all();
        stage.wait(1);
        return answer_data(std::vector<std::uint8_t>(h.dxfer_len, 0x77))(h);
    };
    Exec aborted = read_cd(10);
    ASSERT_EQ(passthru::send_command(&aborted.srb), SS_PENDING);
    stage.wait(0);

    EXPECT_EQ(real_drive_test::abort_request(aborted), SS_COMP);
    EXPECT_EQ(aborted.status(), SS_ABORTED);
    EXPECT_EQ(platform::wait_event(aborted.event, 0ms), platform::WaitResult::signalled);

    stage.store(2);
    stage.notify_all();
    machine().respond = nullptr;
    Exec next = read_cd(1);  // runs after the aborted one has come back from the kernel
    next.run();
    EXPECT_EQ(next.status(), SS_COMP);
    EXPECT_EQ(aborted.status(), SS_ABORTED);
    EXPECT_EQ(aborted.buffer, std::vector<std::uint8_t>(23520, kCanary));
    EXPECT_EQ(platform::wait_event(aborted.event, 0ms), platform::WaitResult::timed_out) << "signalled once";
}

TEST_F(SgLibrary, MoreThanTheQueueTakesIsRefusedBeforeReachingTheKernel) {
    const std::size_t calls = machine().calls.size();
    Exec r = read_cd(28);  // 65 856 bytes > 64 KiB
    EXPECT_NE(r.run(), SS_PENDING);
    EXPECT_NE(r.status(), SS_COMP);
    EXPECT_EQ(machine().calls.size(), calls);
}

}  // namespace

real_drive_test::LibraryDrive &real_drive_test::library_drive() { return drive(); }
