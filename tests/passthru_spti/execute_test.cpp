// Running commands through IOCTL_SCSI_PASS_THROUGH_DIRECT: the packet the system gets, copies for
// misaligned buffers, cancelling, and how its answer (or its refusal) becomes an ASPI outcome.
// Every row of the mapping in passthru/spti/spti_result.h is exercised here.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "aspi/aspi32.h"
#include "passthru/spti/spti_backend.h"
#include "passthru/spti/spti_result.h"
#include "tests/passthru_spti/fake_system.h"
#include "tests/real_drive/seam.h"

#include <ntddcdrm.h>

namespace {

using namespace passthru;
using namespace passthru::spti;
using spti_test::answer_data;
using spti_test::answer_status;
using spti_test::fail_with;
using spti_test::FakeMachine;
using spti_test::PassThroughCall;

constexpr std::uint8_t kCheckCondition = 0x02;

// One CD drive D: at port 1 path 0 target 2 (64 KiB transfers, 8-byte alignment), the back end
// open over it.
class SptiExecute : public ::testing::Test {
protected:
    SptiExecute() {
        spti_test::FakeDrive d = spti_test::drive('D', 0, {1, 0, 2, 0});
        d.adapter_descriptor = spti_test::adapter_descriptor(0x10000, 0, 7);
        machine.add(d);
        open.emplace();
    }

    // READ CD of `sectors` sectors into storage + `offset` (offset 1: a misaligned buffer).
    ScsiCommand read_cd(std::uint32_t sectors, std::size_t offset = 0) {
        storage.assign(sectors * 2352 + 64, 0);
        std::uint8_t *at = aligned_storage() + offset;
        return {{0xBE, 0, 0, 0, 0, 0, 0, 0, std::uint8_t(sectors), 0x10, 0, 0}, 12, DataDirection::in, at, sectors * 2352, true};
    }
    ScsiCommand test_unit_ready() { return {{0x00}, 6, DataDirection::none, nullptr, 0, true}; }
    std::uint8_t *aligned_storage() {
        auto p = reinterpret_cast<std::uintptr_t>(storage.data());
        return storage.data() + ((16 - p % 16) % 16);
    }
    ScsiOutcome run(const ScsiCommand &c, bool given_up = false) { return real_drive_test::run_command(2, 0, c, given_up); }
    const PassThroughCall &last_call() { return machine.calls.back(); }

    FakeMachine machine;
    std::optional<real_drive_test::OpenBackend> open;
    std::vector<std::uint8_t> storage;
};

TEST_F(SptiExecute, PacketCarriesTheCommandTheBufferSenseAfterItAndAnEightSecondTimeOut) {
    const ScsiCommand c = read_cd(10);
    run(c);
    ASSERT_EQ(machine.calls.size(), 1u);
    const PassThroughCall &call = last_call();
    EXPECT_EQ(call.name, "\\\\.\\D:");
    EXPECT_EQ(call.sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(call.sptd.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(call.sptd.DataTransferLength, 23520u);
    EXPECT_EQ(call.sptd.DataBuffer, c.data) << "an aligned buffer goes to the system as it is";
    EXPECT_EQ(call.sptd.TimeOutValue, 8u) << "seconds, below the program's 10 s wait";
    EXPECT_EQ(call.sptd.CdbLength, 12);
    EXPECT_EQ(std::vector<std::uint8_t>(call.sptd.Cdb, call.sptd.Cdb + 12),
              (std::vector<std::uint8_t>{0xBE, 0, 0, 0, 0, 0, 0, 0, 10, 0x10, 0, 0}));
    EXPECT_EQ(call.sptd.SenseInfoOffset, sizeof(SCSI_PASS_THROUGH_DIRECT)) << "the sense area right after it";
    EXPECT_GE(call.sptd.SenseInfoLength, 18);
    EXPECT_EQ(call.in_size, call.out_size);
    EXPECT_EQ(call.out_size, call.sptd.SenseInfoOffset + call.sptd.SenseInfoLength);

    run(test_unit_ready());
    EXPECT_EQ(last_call().sptd.DataIn, SCSI_IOCTL_DATA_UNSPECIFIED);
    EXPECT_EQ(last_call().sptd.DataTransferLength, 0u);
    EXPECT_EQ(last_call().sptd.DataBuffer, nullptr);

    std::uint8_t mode[12] = {0, 10, 0, 0, 0, 0, 0, 0, 0x2A, 2, 0, 0};
    run({{0x55, 0x10, 0, 0, 0, 0, 0, 0, 12, 0}, 10, DataDirection::out, mode, sizeof mode, true});
    EXPECT_EQ(last_call().sptd.DataIn, SCSI_IOCTL_DATA_OUT);
}

TEST_F(SptiExecute, GoodWithFullAndShortTransfers) {
    machine.respond = answer_data(std::vector<std::uint8_t>(23520, 0x11));
    ScsiCommand c = read_cd(10);
    ScsiOutcome o = run(c);
    EXPECT_EQ(o.aspi_status, 0);
    EXPECT_EQ(o.host_status, HASTAT_OK);
    EXPECT_EQ(o.target_status, STATUS_GOOD);
    EXPECT_EQ(o.transferred, 23520u);
    EXPECT_EQ(c.data[23519], 0x11);

    // A drive's 36-byte INQUIRY; and a transport time-out as Wine reports it (GOOD, less data).
    machine.respond = answer_data(std::vector<std::uint8_t>(36, 0x05));
    std::uint8_t inquiry[128] = {};
    o = run({{0x12, 0, 0, 0, 128, 0}, 6, DataDirection::in, inquiry, 128, true});
    EXPECT_EQ(o.aspi_status, 0) << "a short transfer is a success";
    EXPECT_EQ(o.host_status, HASTAT_OK);
    EXPECT_EQ(o.transferred, 36u);
    machine.respond = answer_data(std::vector<std::uint8_t>(4704, 0x22));
    o = run(read_cd(10));
    EXPECT_EQ(o.aspi_status, 0);
    EXPECT_EQ(o.transferred, 4704u);
}

TEST_F(SptiExecute, CheckConditionCarriesTheSenseTheSystemWrote) {
    std::vector<std::uint8_t> sense(24, 0);
    sense[0] = 0xF0;
    sense[2] = 0x03;
    sense[7] = 16;
    sense[12] = 0x11;
    sense[13] = 0x05;
    sense[17] = 0x99;
    sense[20] = 0x77;  // beyond fixed format's 18 bytes
    machine.respond = answer_status(kCheckCondition, sense, 0);
    ScsiOutcome o = run(read_cd(10));
    EXPECT_EQ(o.aspi_status, 0);
    EXPECT_EQ(o.host_status, HASTAT_OK);
    EXPECT_EQ(o.target_status, 0x02);
    EXPECT_EQ(o.transferred, 0u);
    ASSERT_EQ(o.sense_length, 18);
    EXPECT_EQ(std::vector<std::uint8_t>(o.sense, o.sense + 18), std::vector<std::uint8_t>(sense.begin(), sense.begin() + 18));

    machine.respond = answer_status(kCheckCondition, {0x70, 0, 0x06, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x28, 0});
    o = run(test_unit_ready());
    EXPECT_EQ(o.sense_length, 14) << "as much as the system wrote";
    EXPECT_EQ(o.sense[2], 0x06);

    machine.respond = answer_status(0x08);  // BUSY: no sense to copy
    o = run(test_unit_ready());
    EXPECT_EQ(o.target_status, 0x08);
    EXPECT_EQ(o.sense_length, 0);
}

TEST_F(SptiExecute, Win32ErrorsMapToAspiStatus) {
    struct Row {
        DWORD error;
        std::uint32_t sectors;
        bool given_up;
        std::uint8_t aspi_status;
        std::uint8_t ha_stat;
        std::uint8_t asc;  // with CHECK CONDITION NOT READY; 0xFF: no CHECK CONDITION
    } rows[] = {
        {ERROR_OPERATION_ABORTED, 1, true, SS_ABORTED, 0, 0xFF},
        {ERROR_OPERATION_ABORTED, 1, false, 0, HASTAT_COMMAND_TIMEOUT, 0xFF},  // the system's own doing
        {ERROR_SEM_TIMEOUT, 1, false, 0, HASTAT_COMMAND_TIMEOUT, 0xFF},
        {ERROR_TIMEOUT, 1, false, 0, HASTAT_COMMAND_TIMEOUT, 0xFF},
        {ERROR_INVALID_PARAMETER, 1, false, SS_INVALID_SRB, 0, 0xFF},
        {ERROR_NOT_SUPPORTED, 1, false, SS_INVALID_SRB, 0, 0xFF},
        {ERROR_INVALID_FUNCTION, 1, false, SS_INVALID_SRB, 0, 0xFF},
        {ERROR_NOT_ENOUGH_MEMORY, 1, false, SS_ASPI_IS_BUSY, 0, 0xFF},
        {ERROR_OUTOFMEMORY, 1, false, SS_ASPI_IS_BUSY, 0, 0xFF},
        {ERROR_NO_SYSTEM_RESOURCES, 1, false, SS_ASPI_IS_BUSY, 0, 0xFF},
        {ERROR_WORKING_SET_QUOTA, 1, false, SS_ASPI_IS_BUSY, 0, 0xFF},
        {ERROR_NOT_ENOUGH_QUOTA, 1, false, SS_ASPI_IS_BUSY, 0, 0xFF},
        {ERROR_BUSY, 1, false, SS_ASPI_IS_BUSY, 0, 0xFF},
        {ERROR_NOT_READY, 1, false, 0, 0, 0x04},
        {ERROR_NO_MEDIA_IN_DRIVE, 1, false, 0, 0, 0x3A},
        {ERROR_MEDIA_CHANGED, 1, false, 0, 0, 0x28},  // UNIT ATTENTION
        {ERROR_IO_DEVICE, 1, false, 0, HASTAT_SEL_TO, 0xFF},
        {ERROR_CRC, 1, false, 0, HASTAT_PHASE_ERR, 0xFF},  // anything else
    };
    for (const Row &row : rows) {
        machine.respond = fail_with(row.error);
        const ScsiOutcome o = run(read_cd(row.sectors), row.given_up);
        EXPECT_EQ(o.aspi_status, row.aspi_status) << row.error;
        EXPECT_EQ(o.host_status, row.ha_stat) << row.error;
        EXPECT_EQ(o.transferred, 0u) << row.error;
        if (row.asc == 0xFF) {
            EXPECT_EQ(o.target_status, 0) << row.error;
            continue;
        }
        EXPECT_EQ(o.target_status, 0x02) << row.error;
        EXPECT_EQ(o.sense[2], row.asc == 0x28 ? 0x06 : 0x02) << row.error;
        EXPECT_EQ(o.sense[12], row.asc) << row.error;
    }
    EXPECT_EQ(machine.read_write_opens.size(), 2u) << "a refused command keeps the handle; a changed disc does not";

    // More than the drive takes: refused before the system sees it; the system's own refusal of
    // a size says the same.
    const std::size_t calls = machine.calls.size();
    EXPECT_EQ(run(read_cd(28)).aspi_status, SS_BUFFER_TO_BIG);  // 65 856 bytes > 64 KiB
    EXPECT_EQ(machine.calls.size(), calls);
}

TEST_F(SptiExecute, DriveThatVanishesAnswersNoDeviceUntilItOpensAgain) {
    for (DWORD gone : std::initializer_list<DWORD>{ERROR_DEVICE_NOT_CONNECTED, ERROR_FILE_NOT_FOUND, ERROR_DEV_NOT_EXIST, kErrorNoSuchDevice,
                       ERROR_DEVICE_REMOVED, ERROR_BAD_UNIT, ERROR_INVALID_HANDLE, ERROR_PATH_NOT_FOUND}) {
        machine.respond = fail_with(gone);
        EXPECT_EQ(run(read_cd(1)).aspi_status, SS_NO_DEVICE) << gone;
        machine.respond = nullptr;
        EXPECT_EQ(run(read_cd(1)).aspi_status, 0) << "reopened after " << gone;
    }
    EXPECT_EQ(machine.read_write_opens.size(), 9u);

    machine.respond = fail_with(ERROR_DEVICE_NOT_CONNECTED);
    run(read_cd(1));
    machine.drives[0].open_error = ERROR_FILE_NOT_FOUND;  // unplugged
    const std::size_t calls = machine.calls.size();
    EXPECT_EQ(run(read_cd(1)).aspi_status, SS_NO_DEVICE);
    machine.drives[0].open_error = machine.drives[0].read_only_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(run(read_cd(1)).target_status, 0x08) << "BUSY";
    EXPECT_EQ(machine.calls.size(), calls) << "no pass-through without a handle";
    machine.drives[0].open_error = machine.drives[0].read_only_error = 0;  // plugged in again
    machine.respond = nullptr;
    EXPECT_EQ(run(read_cd(1)).transferred, 2352u);
}

TEST_F(SptiExecute, MisalignedBuffersGoThroughAnAlignedCopyBothWays) {
    std::vector<std::uint8_t> sent;
    machine.respond = [&sent](spti_test::PassThroughPacket &p) -> DWORD {
        auto *data = static_cast<std::uint8_t *>(p.sptd.DataBuffer);
        if (p.sptd.DataIn == SCSI_IOCTL_DATA_OUT) sent.assign(data, data + p.sptd.DataTransferLength);
        else std::memset(data, 0x33, 2352 * 3);  // 3 of the 4 sectors
        p.sptd.DataTransferLength = p.sptd.DataIn == SCSI_IOCTL_DATA_OUT ? p.sptd.DataTransferLength : 2352 * 3;
        return 0;
    };
    ScsiCommand c = read_cd(4, 1);
    const ScsiOutcome o = run(c);
    EXPECT_EQ(o.transferred, 2352u * 3);
    const auto *given = static_cast<const std::uint8_t *>(last_call().sptd.DataBuffer);
    EXPECT_NE(given, c.data);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(given) & 7, 0u) << "the system gets an aligned buffer";
    EXPECT_EQ(std::vector<std::uint8_t>(c.data, c.data + 2352 * 3), std::vector<std::uint8_t>(2352 * 3, 0x33));
    EXPECT_EQ(c.data[2352 * 3], 0) << "only what was transferred is copied back";

    std::uint8_t storage_out[40];
    std::uint8_t *params = storage_out + ((8 - reinterpret_cast<std::uintptr_t>(storage_out) % 8) % 8) + 3;
    for (int i = 0; i < 28; ++i) params[i] = static_cast<std::uint8_t>(i + 1);
    run({{0x55, 0x10, 0, 0, 0, 0, 0, 0, 28, 0}, 10, DataDirection::out, params, 28, true});
    EXPECT_EQ(sent, std::vector<std::uint8_t>(params, params + 28)) << "the data goes out through the copy";
}

TEST_F(SptiExecute, GivenUpCommandIsCancelledAndExecuteWaitsUntilTheSystemHasFinishedWithItsBuffers) {
    for (const bool misaligned : {false, true}) {
        machine.respond = spti_test::hold();
        machine.cancels = 0;
        const ScsiCommand c = read_cd(10, misaligned ? 1 : 0);
        CancelToken cancel;
        ScsiOutcome o;
        std::atomic<bool> returned{false};  // set by the executing thread; seq_cst
        std::thread worker([&] {
            spti_backend().execute(0, 2, 0, c, o, cancel);
            returned = true;
        });
        machine.wait_for_held();
        cancel.cancel();  // the manager gives the command up
        machine.wait_for_cancel();
        EXPECT_FALSE(returned) << "the system still has the buffers after CancelIoEx";
        // The drive answers late, and writes into the command's buffers as it does.
        ASSERT_TRUE(machine.finish([](spti_test::PassThroughPacket &p) -> DWORD {
            std::memset(p.sptd.DataBuffer, 0x77, p.sptd.DataTransferLength);
            return ERROR_OPERATION_ABORTED;
        }));
        worker.join();
        EXPECT_FALSE(machine.holding());
        EXPECT_EQ(o.aspi_status, SS_ABORTED);
        EXPECT_EQ(machine.cancels, 1);
        machine.respond = nullptr;
        EXPECT_EQ(run(read_cd(1)).transferred, 2352u) << "the drive takes the next command";
    }
}

TEST_F(SptiExecute, DriveAnotherProgramHoldsIsBusyWithOneLineAndAChangedDiscIsReopened) {
    machine.respond = fail_with(ERROR_ACCESS_DENIED);  // a burning program's exclusive lock
    for (int i = 0; i < 2; ++i) {
        const ScsiOutcome o = run(read_cd(10));
        EXPECT_EQ(o.aspi_status, 0);
        EXPECT_EQ(o.host_status, HASTAT_OK);
        EXPECT_EQ(o.target_status, 0x08) << "BUSY: SS_ERR for the program, a failed read";
        EXPECT_EQ(o.transferred, 0u);
    }
    EXPECT_EQ(machine.reports, (std::vector<std::string>{"cddaplay: \\\\.\\D: is busy: another program (a burning or "
                                                         "ripping tool?) has it to itself; its commands fail until that "
                                                         "program lets go of it"}));
    // The drive is still found: INQUIRY answers from what Windows told of it.
    std::uint8_t inquiry[96] = {};
    const ScsiOutcome o = run({{0x12, 0, 0, 0, 96, 0}, 6, DataDirection::in, inquiry, 96, true});
    EXPECT_EQ(o.target_status, 0);
    EXPECT_EQ(o.transferred, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inquiry + 8), 28), "HL-DT-STDVDRAM GH24NSD1 1.00");

    machine.respond = fail_with(ERROR_MEDIA_CHANGED);
    const ScsiOutcome changed = run(read_cd(1));
    EXPECT_EQ(changed.target_status, 0x02);
    EXPECT_EQ(std::vector<std::uint8_t>({changed.sense[2], changed.sense[12], changed.sense[13]}),
              (std::vector<std::uint8_t>{0x06, 0x28, 0x00}));
    machine.respond = nullptr;
    EXPECT_EQ(run(read_cd(1)).transferred, 2352u);
    EXPECT_EQ(machine.read_write_opens.size(), 2u) << "the command after the unit attention opened the drive anew";
    EXPECT_EQ(machine.open_handles(), 2) << "the old handle is closed";
}

// A drive Windows lets us open for reading only, the back end open over it.
class SptiReadOnly : public SptiExecute {
protected:
    SptiReadOnly() {
        spti_backend().close();
        machine.drives[0].open_error = ERROR_ACCESS_DENIED;
        spti_backend().open();
    }
    // The CD-ROM driver answers: `bytes` into the output, or an error.
    void driver_answers(std::vector<std::uint8_t> bytes, DWORD error = 0) {
        machine.driver = [bytes, error](const spti_test::DriverCall &call, std::uint8_t *out, DWORD &returned) -> DWORD {
            returned = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), call.out_size));
            if (error == 0 && returned > 0) std::memcpy(out, bytes.data(), returned);
            return error;
        };
    }
    static std::vector<std::uint8_t> key_asc(const ScsiOutcome &o) { return {o.target_status, o.sense[2], o.sense[12]}; }
};

TEST_F(SptiReadOnly, TheFourCommandsBecomeTheCdRomDriversOwnRequestsAndBack) {
    // INQUIRY from the storage device descriptor, no request at all.
    std::uint8_t inquiry[96];
    std::memset(inquiry, 0xEE, sizeof inquiry);
    ScsiOutcome o = run({{0x12, 0, 0, 0, 96, 0}, 6, DataDirection::in, inquiry, 96, true});
    const std::string expected = std::string("\x05\x80\x05\x02\x1F\0\0\0", 8) + "HL-DT-STDVDRAM GH24NSD1 1.00";
    EXPECT_EQ(o.transferred, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inquiry), 36), expected);
    EXPECT_EQ(inquiry[36], 0xEE);
    EXPECT_TRUE(machine.driver_calls.empty());

    // TEST UNIT READY: IOCTL_STORAGE_CHECK_VERIFY.
    driver_answers({});
    EXPECT_EQ(run(test_unit_ready()).target_status, 0);
    ASSERT_EQ(machine.driver_calls.size(), 1u);
    EXPECT_EQ(machine.driver_calls[0].code, DWORD{IOCTL_STORAGE_CHECK_VERIFY});
    driver_answers({}, ERROR_NOT_READY);
    EXPECT_EQ(key_asc(run(test_unit_ready())), (std::vector<std::uint8_t>{0x02, 0x02, 0x04}));

    // READ TOC as the player sends it (format 0 from track 1, LBA), then CD-Text and sessions in MSF.
    const std::vector<std::uint8_t> toc = {0x00, 0x12, 1, 2, 0, 0x10, 1, 0, 0, 0, 0, 0, 0, 0x10, 0xAA, 0, 0, 0, 0x2E, 0xE0};
    driver_answers(toc);
    std::uint8_t answer[804] = {};
    o = run({{0x43, 0, 0, 0, 0, 0, 1, 0x03, 0x24, 0}, 10, DataDirection::in, answer, 804, true});
    EXPECT_EQ(o.target_status, 0);
    EXPECT_EQ(o.transferred, toc.size());
    EXPECT_EQ(std::vector<std::uint8_t>(answer, answer + toc.size()), toc);
    EXPECT_EQ(machine.driver_calls.back().code, DWORD{IOCTL_CDROM_READ_TOC_EX});
    EXPECT_EQ(machine.driver_calls.back().input, (std::vector<std::uint8_t>{0x00, 1, 0, 0}));
    o = run({{0x43, 0x02, 5, 0, 0, 0, 3, 0x00, 0x08, 0}, 10, DataDirection::in, answer, 8, true});
    EXPECT_EQ(o.transferred, 8u) << "no more than the allocation length";
    EXPECT_EQ(machine.driver_calls.back().input, (std::vector<std::uint8_t>{0x05, 0, 0, 0})) << "CD-Text has no addresses";
    run({{0x43, 0x02, 1, 0, 0, 0, 0, 0, 12, 0}, 10, DataDirection::in, answer, 12, true});
    EXPECT_EQ(machine.driver_calls.back().input, (std::vector<std::uint8_t>{0x81, 0, 0, 0}));

    // READ CD of 10 CD-DA sectors at LBA 1000: IOCTL_CDROM_RAW_READ, the audio straight into the buffer.
    driver_answers(std::vector<std::uint8_t>(23520, 0x3C));
    ScsiCommand c = read_cd(10);
    c.cdb[4] = 0x03;
    c.cdb[5] = 0xE8;
    o = run(c);
    EXPECT_EQ(o.target_status, 0);
    EXPECT_EQ(o.transferred, 23520u);
    EXPECT_EQ(c.data[0], 0x3C);
    EXPECT_EQ(c.data[23519], 0x3C);
    EXPECT_EQ(machine.driver_calls.back().code, DWORD{IOCTL_CDROM_RAW_READ});
    EXPECT_EQ(machine.driver_calls.back().out_size, 23520u);
    EXPECT_EQ(machine.driver_calls.back().input,
              (std::vector<std::uint8_t>{0x00, 0x40, 0x1F, 0, 0, 0, 0, 0,  // DiskOffset 1000 * 2048
                                         10, 0, 0, 0,                      // SectorCount
                                         2, 0, 0, 0}));                    // TrackMode CDDA
    EXPECT_TRUE(machine.calls.empty()) << "no pass-through on a read-only handle";
}

TEST_F(SptiReadOnly, WhatCannotBeTranslatedIsIllegalRequestAndTheDriversErrorsKeepTheirMeaning) {
    const std::size_t before = machine.driver_calls.size();
    std::uint8_t mode[12] = {};
    EXPECT_EQ(key_asc(run({{0x55, 0x10, 0, 0, 0, 0, 0, 0, 12, 0}, 10, DataDirection::out, mode, 12, true})),
              (std::vector<std::uint8_t>{0x02, 0x05, 0x20}));
    ScsiCommand sub = read_cd(1);
    sub.cdb[10] = 0x01;  // with raw sub-channel
    EXPECT_EQ(key_asc(run(sub)), (std::vector<std::uint8_t>{0x02, 0x05, 0x24}));
    std::uint8_t full[256] = {};
    EXPECT_EQ(key_asc(run({{0x43, 0x02, 2, 0, 0, 0, 1, 1, 0, 0}, 10, DataDirection::in, full, 256, true})),
              (std::vector<std::uint8_t>{0x02, 0x05, 0x24})) << "full TOC";
    EXPECT_EQ(machine.driver_calls.size(), before);

    driver_answers({}, ERROR_ACCESS_DENIED);  // another program locked the drive meanwhile
    EXPECT_EQ(run(read_cd(1)).target_status, 0x08);
    driver_answers({}, ERROR_MEDIA_CHANGED);
    EXPECT_EQ(key_asc(run(test_unit_ready())), (std::vector<std::uint8_t>{0x02, 0x06, 0x28}));
    driver_answers({});
    EXPECT_EQ(run(test_unit_ready()).target_status, 0);
    EXPECT_EQ(machine.read_only_opens.size(), 2u) << "reopened, for reading only again, after the change";
}

}  // namespace
