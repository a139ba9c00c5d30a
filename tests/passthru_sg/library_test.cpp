// The ASPI manager over the sg back end, in-process, on a made-up machine: what a program sees
// through SendASPI32Command when the kernel answers each way. The back end list is the tests' own:
// one virtual adapter (no units) first, then the sg back end, as in the library.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/manager.h"
#include "passthru/sg/sg_backend.h"
#include "platform/platform.h"
#include "tests/passthru_sg/fake_system.h"
#include "tests/passthru_sg/test_backends.h"

namespace {

using namespace std::chrono_literals;
using sg_test::answer_data;
using sg_test::answer_status;
using sg_test::fail_with;
using sg_test::FakeMachine;

constexpr std::uint8_t kSgAdapter = 1;  // after the virtual one
constexpr std::uint8_t kCanary = 0xCC;

// The machine the manager opens on its first call; it lives as long as the process, since the
// manager closes its back ends only when the process ends.
FakeMachine &machine() {
    static FakeMachine *m = [] {
        auto *made = new FakeMachine;
        made->add(sg_test::cd_unit({2, 0, 0, 0}, 0, 0, &sg_test::CdUnit::max_hw_kib, 64));
        sg_test::set_virtual_adapters(1);
        passthru::sg::use_system(&FakeMachine::system());
        return made;
    }();
    return *m;
}

struct Exec {
    explicit Exec(std::vector<std::uint8_t> cdb, std::uint32_t length, std::uint8_t flags = SRB_DIR_IN)
        : buffer(length, kCanary), event(platform::create_event()) {
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = kSgAdapter;
        srb.SRB_Flags = static_cast<std::uint8_t>((length > 0 ? flags : 0) | SRB_EVENT_NOTIFY);
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = length > 0 ? buffer.data() : nullptr;
        srb.SRB_SenseLen = 14;
        srb.SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
        std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
        srb.SRB_PostProc = event;
        std::memset(srb.SenseArea, kCanary, sizeof srb.SenseArea);
    }
    ~Exec() { platform::close_event(event); }

    // Submits; returns what SendASPI32Command answered. A pending request is waited for.
    std::uint32_t run() {
        submitted = passthru::send_command(&srb);
        if (submitted == SS_PENDING) signalled = platform::wait_event(event, 20s) == platform::WaitResult::signalled;
        return submitted;
    }
    std::uint8_t status() const {
        return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t &>(srb.SRB_Status)).load(std::memory_order_acquire);
    }

    SRB_ExecSCSICmd srb;
    std::vector<std::uint8_t> buffer;
    platform::EventHandle event;
    std::uint32_t submitted = 0;
    bool signalled = false;
};

Exec read_cd(std::uint32_t sectors, std::uint8_t flags = SRB_DIR_IN) {
    return Exec({0xBE, 0, 0, 0, 0, 0, 0, 0, std::uint8_t(sectors), 0x10, 0, 0}, sectors * 2352, flags);
}

class SgLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        machine();
        machine().respond = nullptr;
    }
};

TEST_F(SgLibrary, RealDrivesComeAfterTheVirtualAdapterAndDescribeTheirBus) {
    EXPECT_EQ(passthru::get_support_info(), (std::uint32_t{SS_COMP} << 8) | 2u);

    SRB_HAInquiry ha;
    std::memset(&ha, 0, sizeof ha);
    ha.SRB_Cmd = SC_HA_INQUIRY;
    ha.SRB_HaId = kSgAdapter;
    ASSERT_EQ(passthru::send_command(&ha), SS_COMP);
    EXPECT_EQ(ha.HA_Count, 2);
    EXPECT_EQ(ha.HA_SCSI_ID, 7);
    EXPECT_EQ(std::memcmp(ha.HA_Identifier, "sg scsi2:0\0", 11), 0);
    const std::uint8_t max_transfer_le[4] = {0x00, 0x00, 0x01, 0x00};  // 64 KiB, the unit's queue limit
    EXPECT_EQ(std::memcmp(ha.HA_Unique + 4, max_transfer_le, 4), 0);

    SRB_GDEVBlock dev;
    std::memset(&dev, 0, sizeof dev);
    dev.SRB_Cmd = SC_GET_DEV_TYPE;
    dev.SRB_HaId = kSgAdapter;
    ASSERT_EQ(passthru::send_command(&dev), SS_COMP);
    EXPECT_EQ(dev.SRB_DeviceType, 5);
    dev.SRB_Target = 1;
    EXPECT_EQ(passthru::send_command(&dev), SS_NO_DEVICE);
    dev.SRB_HaId = 0;
    dev.SRB_Target = 0;
    EXPECT_EQ(passthru::send_command(&dev), SS_NO_DEVICE) << "the virtual adapter has no unit here";
}

TEST_F(SgLibrary, GoodReadsCompleteWithTheDataAndShortOnesWithTheirResidual) {
    machine().respond = answer_data(std::vector<std::uint8_t>(23520, 0x42));
    Exec full = read_cd(10);
    ASSERT_EQ(full.run(), SS_PENDING);
    ASSERT_TRUE(full.signalled);
    EXPECT_EQ(full.status(), SS_COMP);
    EXPECT_EQ(full.srb.SRB_HaStat, HASTAT_OK);
    EXPECT_EQ(full.srb.SRB_TargStat, STATUS_GOOD);
    EXPECT_EQ(full.buffer, std::vector<std::uint8_t>(23520, 0x42));

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

TEST_F(SgLibrary, CheckConditionCompletesWithErrorAndAsMuchSenseAsAsked) {
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[7] = 10;
    sense[12] = 0x21;
    sense[17] = 0x99;  // beyond the 14 bytes asked for
    machine().respond = answer_status(0x02, 0, 0x08, sense, 23520);
    Exec r = read_cd(10);
    ASSERT_EQ(r.run(), SS_PENDING);
    EXPECT_EQ(r.status(), SS_ERR);
    EXPECT_EQ(r.srb.SRB_HaStat, HASTAT_OK);
    EXPECT_EQ(r.srb.SRB_TargStat, 0x02);
    EXPECT_EQ(std::vector<std::uint8_t>(r.srb.SenseArea, r.srb.SenseArea + 14),
              std::vector<std::uint8_t>(sense.begin(), sense.begin() + 14));
    EXPECT_EQ(r.srb.SenseArea[14], kCanary);
    EXPECT_EQ(r.srb.SenseArea[15], kCanary);
}

TEST_F(SgLibrary, KernelTimeOutCompletesWithCommandTimeout) {
    machine().respond = answer_status(0, 0x03, 0);
    Exec r = read_cd(1);
    ASSERT_EQ(r.run(), SS_PENDING);
    EXPECT_EQ(r.status(), SS_ERR);
    EXPECT_EQ(r.srb.SRB_HaStat, HASTAT_COMMAND_TIMEOUT);
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

    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = kSgAdapter;
    abort.SRB_ToAbort = &aborted.srb;
    EXPECT_EQ(passthru::send_command(&abort), SS_COMP);
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
