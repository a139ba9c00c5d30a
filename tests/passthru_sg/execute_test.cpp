// Running commands with SG_IO: the header the kernel gets, and how its answer (or its refusal)
// becomes an ASPI outcome. Every row of the mapping in passthru/sg/sg_result.h is exercised here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "aspi/aspi32.h"
#include "passthru/sg/sg_backend.h"
#include "passthru/sg/sg_result.h"
#include "tests/passthru_sg/fake_system.h"
#include "tests/real_drive/seam.h"

namespace {

using namespace passthru;
using namespace passthru::sg;
using sg_test::answer_data;
using sg_test::cd_unit;
using sg_test::CdUnit;
using sg_test::IoCall;
using sg_test::answer_status;
using sg_test::fail_with;
using sg_test::FakeMachine;

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint16_t kDidError = 0x07, kDidTransportDisrupted = 0x0E, kDriverError = 0x04;

// One CD drive at 2:0:0:0 (/dev/sg0 and /dev/sr0, 120 KiB queue limit), the back end open over it.
class SgExecute : public ::testing::Test {
protected:
    SgExecute() {
        machine.add(cd_unit({2, 0, 0, 0}, 0, 0, &CdUnit::max_hw_kib, 120));
        open.emplace();
    }

    // READ CD of `sectors` sectors from LBA 0 into `buffer`.
    ScsiOutcome read_cd(std::uint32_t sectors, bool given_up = false) {
        buffer.assign(sectors * 2352, 0);
        ScsiCommand c{{0xBE, 0, 0, 0, 0, 0, 0, 0, std::uint8_t(sectors), 0x10, 0, 0}, 12, DataDirection::in,
                      buffer.data(), static_cast<std::uint32_t>(buffer.size()), true};
        return run(c, given_up);
    }
    ScsiOutcome inquiry() {
        buffer.assign(128, 0);
        ScsiCommand c{{0x12, 0, 0, 0, 128, 0}, 6, DataDirection::in, buffer.data(), 128, true};
        return run(c);
    }
    ScsiOutcome test_unit_ready() {
        ScsiCommand c{{0x00}, 6, DataDirection::none, nullptr, 0, true};
        return run(c);
    }
    ScsiOutcome run(const ScsiCommand &c, bool given_up = false) { return real_drive_test::run_command(0, 0, c, given_up); }

    FakeMachine machine;
    std::optional<real_drive_test::OpenBackend> open;
    std::vector<std::uint8_t> buffer;
};

TEST_F(SgExecute, HeaderCarriesTheCommandTheBufferAndAnEightSecondTimeOut) {
    read_cd(10);
    ASSERT_EQ(machine.calls.size(), 1u);
    const IoCall &call = machine.calls[0];
    EXPECT_EQ(call.node, "/dev/sg0");
    EXPECT_EQ(call.header.interface_id, 'S');
    EXPECT_EQ(call.header.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(call.header.dxfer_len, 23520u);
    EXPECT_NE(call.header.dxferp, nullptr);  // the back end's own copy: a stuck call may outlive the command
    EXPECT_EQ(call.cdb, (std::vector<std::uint8_t>{0xBE, 0, 0, 0, 0, 0, 0, 0, 10, 0x10, 0, 0}));
    EXPECT_GE(call.header.mx_sb_len, 32);
    EXPECT_EQ(call.header.timeout, 8000u) << "milliseconds, below the program's 10 s wait";
    EXPECT_EQ(call.header.iovec_count, 0);

    test_unit_ready();
    ASSERT_EQ(machine.calls.size(), 2u);
    EXPECT_EQ(machine.calls[1].header.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(machine.calls[1].header.dxfer_len, 0u);
    EXPECT_EQ(machine.calls[1].cdb.size(), 6u);
}

TEST_F(SgExecute, GoodWithFullAndShortTransfers) {
    machine.respond = answer_data(std::vector<std::uint8_t>(23520, 0x11));
    ScsiOutcome o = read_cd(10);
    EXPECT_EQ(o.aspi_status, 0);
    EXPECT_EQ(o.host_status, HASTAT_OK);
    EXPECT_EQ(o.target_status, STATUS_GOOD);
    EXPECT_EQ(o.transferred, 23520u);
    EXPECT_EQ(buffer[23519], 0x11);

    machine.respond = answer_data(std::vector<std::uint8_t>(36, 0x05));  // a drive's 36-byte INQUIRY
    o = inquiry();
    EXPECT_EQ(o.aspi_status, 0) << "a short transfer is a success";
    EXPECT_EQ(o.host_status, HASTAT_OK);
    EXPECT_EQ(o.target_status, STATUS_GOOD);
    EXPECT_EQ(o.transferred, 36u);

    machine.respond = answer_status(0, 0, 0, {}, -1);  // a driver that does not count
    EXPECT_EQ(inquiry().transferred, 128u);
    machine.respond = answer_status(0, 0, 0, {}, 500);  // nor count sensibly
    EXPECT_EQ(inquiry().transferred, 0u);
}

TEST_F(SgExecute, CheckConditionCarriesFixedSenseAsTheDriveGaveIt) {
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = 0xF0;  // current, fixed, information valid
    sense[2] = 0x03;
    std::memcpy(&sense[3], "\x00\x00\x01\x2C", 4);
    sense[7] = 10;
    sense[12] = 0x11;
    sense[13] = 0x05;
    machine.respond = answer_status(kCheckCondition, 0, kDriverSense, sense, 23520);
    const ScsiOutcome o = read_cd(10);
    EXPECT_EQ(o.aspi_status, 0);
    EXPECT_EQ(o.host_status, HASTAT_OK);
    EXPECT_EQ(o.target_status, 0x02) << "the raw status byte, not masked_status";
    EXPECT_EQ(o.transferred, 0u);
    ASSERT_EQ(o.sense_length, 18);
    EXPECT_EQ(std::vector<std::uint8_t>(o.sense, o.sense + 18), sense);
}

// The kernel's answers as the rig measured them (fake_system.h): a failure reports resid 0 although
// nothing moved, which must not read as a full transfer.
TEST_F(SgExecute, KernelFailuresAsMeasuredMoveNothing) {
    machine.respond = sg_test::kernel_check_condition(0x03, 0x11, 0x00, 1000);  // MEDIUM ERROR at LBA 1000
    ScsiOutcome o = read_cd(10);
    EXPECT_EQ(o.target_status, 0x02);
    EXPECT_EQ(o.transferred, 0u);
    ASSERT_EQ(o.sense_length, 18);
    EXPECT_EQ(o.sense[0], 0xF0);
    EXPECT_EQ(o.sense[2], 0x03);
    EXPECT_EQ(o.sense[6], 0xE8) << "the information field (the LBA) as the drive gave it";
    EXPECT_EQ(o.sense[12], 0x11);

    machine.respond = sg_test::kernel_check_condition(0x02, 0x3A, 0x00);  // no disc
    o = test_unit_ready();
    EXPECT_EQ(o.target_status, 0x02);
    EXPECT_EQ(o.sense[2], 0x02);
    EXPECT_EQ(o.sense[12], 0x3A);

    machine.respond = sg_test::kernel_time_out();
    o = read_cd(10);
    EXPECT_EQ(o.host_status, HASTAT_COMMAND_TIMEOUT);
    EXPECT_EQ(o.transferred, 0u);
    EXPECT_EQ(o.sense_length, 0);
}

TEST_F(SgExecute, DescriptorSenseIsConvertedToFixed) {
    const std::vector<std::uint8_t> sense = {
        0x72, 0x02, 0x3A, 0x02, 0, 0, 0, 24,                  // NOT READY, medium not present - tray open
        0x02, 0x06, 0, 0, 0x80, 0x12, 0x34, 0,                // sense-key specific
        0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0x00, 0x01, 0x2C, 0x40};  // information: 0x12C40, valid
    machine.respond = answer_status(kCheckCondition, 0, kDriverSense, sense);
    const ScsiOutcome o = test_unit_ready();
    EXPECT_EQ(o.target_status, 0x02);
    ASSERT_EQ(o.sense_length, 18);
    const std::uint8_t fixed[18] = {0xF0, 0, 0x02, 0x00, 0x01, 0x2C, 0x40, 10, 0, 0, 0, 0, 0x3A, 0x02, 0, 0x80, 0x12, 0x34};
    EXPECT_EQ(std::vector<std::uint8_t>(o.sense, o.sense + 18), std::vector<std::uint8_t>(fixed, fixed + 18));

    // Deferred error, an information value too wide for fixed format (not valid there), a
    // descriptor list running past what was written.
    const std::vector<std::uint8_t> deferred = {0x73, 0x03, 0x11, 0x00, 0, 0, 0, 40,
                                                0x00, 0x0A, 0x80, 0, 0, 0, 0, 1, 0, 0, 0, 9};
    machine.respond = answer_status(kCheckCondition, 0, 0, deferred);
    const ScsiOutcome d = test_unit_ready();
    ASSERT_EQ(d.sense_length, 18);
    EXPECT_EQ(d.sense[0], 0x71);
    EXPECT_EQ(d.sense[2], 0x03);
    EXPECT_EQ(d.sense[12], 0x11);
}

TEST_F(SgExecute, SenseReportedByTheDriverAloneStillFailsTheCommand) {
    // Kernels before 5.13 may flag sense through driver_status with a zero status byte.
    machine.respond = answer_status(0, 0, kDriverSense, {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28, 0x00});
    const ScsiOutcome o = test_unit_ready();
    EXPECT_EQ(o.target_status, 0x02);
    EXPECT_EQ(o.sense_length, 14);
    EXPECT_EQ(o.sense[2], 0x06);
}

struct HostRow {
    const char *what;
    std::uint8_t status;
    std::uint16_t host;
    std::uint16_t driver;
    bool given_up;
    std::uint8_t aspi_status;
    std::uint8_t ha_stat;
    std::uint8_t targ_stat;
};

TEST_F(SgExecute, TransportAndDriverFailuresMapToHostStatus) {
    const HostRow rows[] = {
        {"time-out", 0, kDidTimeOut, 0, false, 0, HASTAT_COMMAND_TIMEOUT, 0},
        {"time-out after BUSY", 0x08, kDidTimeOut, 0, false, 0, HASTAT_COMMAND_TIMEOUT, 0x08},
        {"selection failure", 0, kDidNoConnect, 0, false, 0, HASTAT_SEL_TO, 0},
        {"bad target", 0, kDidBadTarget, 0, false, 0, HASTAT_SEL_TO, 0},
        {"bus reset", 0, kDidReset, 0, false, 0, HASTAT_BUS_RESET, 0},
        {"parity", 0, kDidParity, 0, false, 0, HASTAT_PARITY_ERROR, 0},
        {"kernel's own abort", 0, kDidAbort, 0, false, 0, HASTAT_COMMAND_TIMEOUT, 0},
        {"abort of a given-up command", 0, kDidAbort, 0, true, SS_ABORTED, HASTAT_COMMAND_TIMEOUT, 0},
        {"other host error", 0, kDidError, 0, false, 0, HASTAT_PHASE_ERR, 0},
        {"transport disrupted", 0, kDidTransportDisrupted, 0, false, 0, HASTAT_PHASE_ERR, 0},
        {"BUSY", 0x08, 0, 0, false, 0, HASTAT_OK, 0x08},
        {"RESERVATION CONFLICT", 0x18, 0, 0, false, 0, HASTAT_OK, 0x18},
        {"driver time-out (old kernels)", 0, 0, kDriverTimeout, false, 0, HASTAT_COMMAND_TIMEOUT, 0},
        {"driver error with a suggestion (old kernels)", 0, 0, 0x20 | kDriverError, false, 0, HASTAT_PHASE_ERR, 0},
        {"only a suggestion", 0, 0, 0x10, false, 0, HASTAT_OK, 0},
    };
    for (const HostRow &row : rows) {
        machine.respond = answer_status(row.status, row.host, row.driver);
        const ScsiOutcome o = read_cd(1, row.given_up);
        EXPECT_EQ(o.aspi_status, row.aspi_status) << row.what;
        EXPECT_EQ(o.host_status, row.ha_stat) << row.what;
        EXPECT_EQ(o.target_status, row.targ_stat) << row.what;
        EXPECT_EQ(o.sense_length, 0) << row.what;
    }
}

struct ErrnoRow {
    int error;
    std::uint32_t sectors;
    std::uint8_t aspi_status;
    std::uint8_t ha_stat;
};

TEST_F(SgExecute, RefusedCommandsMapToAspiStatus) {
    const ErrnoRow rows[] = {
        {EPERM, 1, SS_INVALID_SRB, 0},          // a command the kernel's filter forbids
        {EINVAL, 1, SS_INVALID_SRB, 0},
        {EINVAL, 53, SS_BUFFER_TO_BIG, 0},      // the size checks of 6.1: past max_segments,
        {ENOMEM, 53, SS_BUFFER_TO_BIG, 0},      // past max_hw_sectors_kb on sg
        {EMSGSIZE, 1, SS_INVALID_SRB, 0},
        {EFAULT, 1, SS_INVALID_SRB, 0},
        {EIO, 53, SS_BUFFER_TO_BIG, 0},         // 124 656 bytes > the queue's 120 KiB
        {EIO, 10, 0, HASTAT_SEL_TO},            // within the limit: the unit did not take it
        {ENOMEM, 1, SS_ASPI_IS_BUSY, 0},
        {EAGAIN, 1, SS_ASPI_IS_BUSY, 0},
        {EBUSY, 1, SS_ASPI_IS_BUSY, 0},
        {EINTR, 1, SS_ASPI_IS_BUSY, 0},
        {ENOSPC, 1, 0, HASTAT_PHASE_ERR},       // anything else
    };
    for (const ErrnoRow &row : rows) {
        machine.respond = fail_with(row.error);
        const ScsiOutcome o = read_cd(row.sectors);
        EXPECT_EQ(o.aspi_status, row.aspi_status) << std::strerror(row.error);
        EXPECT_EQ(o.host_status, row.ha_stat) << std::strerror(row.error);
        EXPECT_EQ(o.target_status, 0) << std::strerror(row.error);
        EXPECT_EQ(o.transferred, 0u) << std::strerror(row.error);
    }
    EXPECT_EQ(machine.opens.size(), 1u) << "a refused command keeps the node";
}

TEST_F(SgExecute, NoMediumIsNotReadyWithSense) {
    machine.respond = fail_with(ENOMEDIUM);
    const ScsiOutcome o = test_unit_ready();
    EXPECT_EQ(o.aspi_status, 0);
    EXPECT_EQ(o.target_status, 0x02);
    ASSERT_EQ(o.sense_length, 18);
    EXPECT_EQ(o.sense[0], 0x70);
    EXPECT_EQ(o.sense[2], 0x02);
    EXPECT_EQ(o.sense[12], 0x3A);
    EXPECT_EQ(o.sense[13], 0x00);
}

// A drive that never answers: the ioctl returns only when the device lets go of the command, long
// after the kernel's time-out. The command given up leaves its call behind; the next one reaches
// the drive at once.
TEST_F(SgExecute, CommandStuckInTheKernelDoesNotHoldUpTheNextOne) {
    std::mutex m;
    std::condition_variable changed;
    bool release = false, returned = false;
    machine.respond = [&](sg_io_hdr_t &h) {
        if (h.cmdp[0] != 0xBE) return answer_data({})(h);
        std::unique_lock lock(m);
        changed.wait(lock, [&] { return release; });
        returned = true;
        changed.notify_all();
        return answer_status(0, kDidTimeOut, 0)(h);
    };
    buffer.assign(2352, 0x11);
    ScsiCommand c{{0xBE, 0, 0, 0, 0, 0, 0, 0, 1, 0x10, 0, 0}, 12, DataDirection::in, buffer.data(), 2352, true};
    CancelToken cancel;
    ScsiOutcome stuck;
    std::thread worker([&] { sg_backend().execute(0, 0, 0, c, stuck, cancel); });
    while ([&] { std::lock_guard lock(machine.calls_mutex); return machine.calls.empty(); }())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cancel.cancel();  // the manager gives it up (the program's wait has run out)
    worker.join();
    EXPECT_EQ(stuck.host_status, HASTAT_COMMAND_TIMEOUT);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0x11; }))
        << "the call left behind never writes into the command's buffer";

    EXPECT_EQ(test_unit_ready().host_status, HASTAT_OK) << "answered while the READ CD is still held";
    {
        std::lock_guard lock(machine.calls_mutex);
        EXPECT_EQ(machine.calls.size(), 2u);
    }
    std::unique_lock lock(m);
    release = true;
    changed.notify_all();
    changed.wait(lock, [&] { return returned; });
}

TEST_F(SgExecute, UnitThatVanishesAnswersNoDeviceUntilItsNodeOpensAgain) {
    machine.respond = fail_with(ENODEV);  // unplugged
    EXPECT_EQ(read_cd(1).aspi_status, SS_NO_DEVICE);
    EXPECT_TRUE(machine.open_fds.empty()) << "the dead node is closed";

    machine.open_errors["/dev/sg0"] = ENOENT;  // and gone from /dev
    EXPECT_EQ(read_cd(1).aspi_status, SS_NO_DEVICE);
    machine.open_errors["/dev/sg0"] = ENXIO;
    EXPECT_EQ(read_cd(1).aspi_status, SS_NO_DEVICE);
    machine.open_errors["/dev/sg0"] = EACCES;
    EXPECT_EQ(read_cd(1).aspi_status, SS_INVALID_SRB);
    EXPECT_EQ(machine.calls.size(), 1u) << "no SG_IO without a node";

    machine.open_errors.clear();  // plugged in again
    machine.respond = nullptr;
    const ScsiOutcome o = read_cd(1);
    EXPECT_EQ(o.aspi_status, 0);
    EXPECT_EQ(o.transferred, 2352u);
    EXPECT_EQ(machine.open_fds.size(), 1u);
    EXPECT_EQ(machine.calls.back().node, "/dev/sg0");

    machine.respond = fail_with(ENXIO);
    EXPECT_EQ(read_cd(1).aspi_status, SS_NO_DEVICE);
    EXPECT_TRUE(machine.open_fds.empty());
}

}  // namespace
