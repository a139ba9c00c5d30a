// The ASPI manager over the spti back end, in-process, on a made-up machine: what a program sees
// through SendASPI32Command when the system answers each way. The back end list is the tests' own:
// one virtual adapter (no units) first, then the spti back end, as in the library.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/manager.h"
#include "passthru/spti/spti_backend.h"
#include "platform/platform.h"
#include "tests/passthru_spti/fake_system.h"
#include "tests/passthru_spti/test_backends.h"

namespace {

using namespace std::chrono_literals;
using spti_test::answer_data;
using spti_test::FakeMachine;

constexpr std::uint8_t kSptiAdapter = 1;  // after the virtual one
constexpr std::uint8_t kCanary = 0xCC;

// The machine the manager opens on its first call; it lives as long as the process, since the
// manager closes its back ends only when the process ends.
FakeMachine &machine() {
    static FakeMachine *m = [] {
        auto *made = new FakeMachine;
        spti_test::FakeDrive d = spti_test::drive('D', 0, {1, 0, 0, 0});
        d.adapter_descriptor = spti_test::adapter_descriptor(0x10000, 0, 0x1000);  // as Wine says it
        made->add(d);
        spti_test::set_virtual_adapters(1);
        passthru::spti::use_system(&FakeMachine::system());
        return made;
    }();
    return *m;
}

struct Exec {
    explicit Exec(std::uint32_t sectors) : buffer(sectors * 2352, kCanary), event(platform::create_event()) {
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = kSptiAdapter;
        srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
        srb.SRB_BufLen = static_cast<std::uint32_t>(buffer.size());
        srb.SRB_BufPointer = buffer.data();
        srb.SRB_SenseLen = 14;
        srb.SRB_CDBLen = 12;
        const std::uint8_t cdb[12] = {0xBE, 0, 0, 0, 0, 0, 0, 0, std::uint8_t(sectors), 0x10, 0, 0};
        std::memcpy(srb.CDBByte, cdb, sizeof cdb);
        srb.SRB_PostProc = event;
    }
    ~Exec() { platform::close_event(event); }

    std::uint32_t run() {
        const std::uint32_t submitted = passthru::send_command(&srb);
        if (submitted == SS_PENDING) signalled = platform::wait_event(event, 20s) == platform::WaitResult::signalled;
        return submitted;
    }
    std::uint8_t status() const {
        return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t &>(srb.SRB_Status)).load(std::memory_order_acquire);
    }

    SRB_ExecSCSICmd srb;
    std::vector<std::uint8_t> buffer;
    platform::EventHandle event;
    bool signalled = false;
};

class SptiLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        machine();
        machine().respond = nullptr;
    }
};

TEST_F(SptiLibrary, RealDrivesComeAfterTheVirtualAdapterAndReportTheirLimitsAsAspiLayersDo) {
    EXPECT_EQ(passthru::get_support_info(), (std::uint32_t{SS_COMP} << 8) | 2u);
    SRB_HAInquiry ha;
    std::memset(&ha, 0, sizeof ha);
    ha.SRB_Cmd = SC_HA_INQUIRY;
    ha.SRB_HaId = kSptiAdapter;
    ASSERT_EQ(passthru::send_command(&ha), SS_COMP);
    EXPECT_EQ(ha.HA_Count, 2);
    EXPECT_EQ(ha.HA_SCSI_ID, 7);
    EXPECT_EQ(std::memcmp(ha.HA_Identifier, "spti port1:0\0", 13), 0);
    const std::uint8_t unique[8] = {0xFF, 0x1F, 0x02, 16, 0x00, 0x00, 0x01, 0x00};  // mask 0x1FFF, 64 KiB
    EXPECT_EQ(std::vector<std::uint8_t>(ha.HA_Unique, ha.HA_Unique + 8), std::vector<std::uint8_t>(unique, unique + 8));

    SRB_GDEVBlock dev;
    std::memset(&dev, 0, sizeof dev);
    dev.SRB_Cmd = SC_GET_DEV_TYPE;
    dev.SRB_HaId = kSptiAdapter;
    ASSERT_EQ(passthru::send_command(&dev), SS_COMP);
    EXPECT_EQ(dev.SRB_DeviceType, 5);
}

TEST_F(SptiLibrary, ReadsCompleteWithTheirDataAndTimeOutsWithCommandTimeout) {
    machine().respond = answer_data(std::vector<std::uint8_t>(23520, 0x42));
    Exec good(10);
    ASSERT_EQ(good.run(), SS_PENDING);
    ASSERT_TRUE(good.signalled);
    EXPECT_EQ(good.status(), SS_COMP);
    EXPECT_EQ(good.buffer, std::vector<std::uint8_t>(23520, 0x42));

    machine().respond = spti_test::fail_with(ERROR_SEM_TIMEOUT);
    Exec late(1);
    ASSERT_EQ(late.run(), SS_PENDING);
    EXPECT_EQ(late.status(), SS_ERR);
    EXPECT_EQ(late.srb.SRB_HaStat, HASTAT_COMMAND_TIMEOUT);
    EXPECT_EQ(late.buffer, std::vector<std::uint8_t>(2352, kCanary));

    // Another program holds the drive: a failed read (SS_ERR, target status BUSY), not a bad request.
    machine().respond = spti_test::fail_with(ERROR_ACCESS_DENIED);
    Exec held(1);
    ASSERT_EQ(held.run(), SS_PENDING);
    EXPECT_EQ(held.status(), SS_ERR);
    EXPECT_EQ(held.srb.SRB_TargStat, 0x08);
    EXPECT_EQ(held.srb.SRB_HaStat, HASTAT_OK);
}

TEST_F(SptiLibrary, AbortedReadIsCancelledAndItsLateAnswerNeverReachesTheCaller) {
    machine().respond = spti_test::hold();
    const int cancels_before = machine().cancels;
    Exec aborted(10);
    ASSERT_EQ(passthru::send_command(&aborted.srb), SS_PENDING);
    machine().wait_for_held();

    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = kSptiAdapter;
    abort.SRB_ToAbort = &aborted.srb;
    EXPECT_EQ(passthru::send_command(&abort), SS_COMP);
    EXPECT_EQ(aborted.status(), SS_ABORTED);
    EXPECT_EQ(platform::wait_event(aborted.event, 0ms), platform::WaitResult::signalled);

    machine().wait_for_cancel();
    EXPECT_GT(machine().cancels, cancels_before) << "the system was asked to cancel";
    // The drive answers after all, with data, into the command's buffer.
    ASSERT_TRUE(machine().finish(answer_data(std::vector<std::uint8_t>(23520, 0x77))));
    machine().respond = nullptr;
    Exec next(1);  // runs after the aborted one has come back from the system
    next.run();
    EXPECT_EQ(next.status(), SS_COMP);
    EXPECT_FALSE(machine().holding()) << "the library waited for the system to end the aborted read";
    EXPECT_EQ(aborted.status(), SS_ABORTED);
    EXPECT_EQ(aborted.buffer, std::vector<std::uint8_t>(23520, kCanary));
    EXPECT_EQ(platform::wait_event(aborted.event, 0ms), platform::WaitResult::timed_out) << "signalled once";
}

}  // namespace
