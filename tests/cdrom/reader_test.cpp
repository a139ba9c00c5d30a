// The READ CD sector reader against the in-process fake library.
#include <thread>

#include "cdrom/cdrom_types.h"
#include "cdrom/reader.h"
#include "tests/cdrom/cdrom_test_support.h"

namespace {

using cdrom_test::cdb_of;
using cdrom_test::field;
using cdrom_test::printed_by;

class SectorReader : public cdrom_test::FakeLibraryTest {
protected:
    void SetUp() override {
        FakeLibraryTest::SetUp();
        // A drive that fills each sector with its own LBA's low byte.
        fake.on_exec = [](SRB_ExecSCSICmd &srb) {
            const std::int32_t lba = std::int32_t(get_be32(&srb.CDBByte[2]));
            for (std::uint32_t i = 0; i < srb.SRB_BufLen; ++i)
                srb.SRB_BufPointer[i] = std::uint8_t(lba + std::int32_t(i / SECTOR_BYTES));
            return FakePassThru::complete(srb, SS_COMP);
        };
        ASSERT_EQ(open_cdrom_reader(), 1);
        buffer.assign(MAX_READ_SECTORS * SECTOR_BYTES + 16, 0xCC);
    }
    void TearDown() override {
        close_cdrom_reader();
        FakeLibraryTest::TearDown();
    }
    int read(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::int32_t lba, std::int32_t count) {
        int result = -1;
        printed = printed_by([&] { result = read_cdrom_sectors(ha_id, target, lun, buffer.data(), lba, count); });
        return result;
    }

    std::vector<std::uint8_t> buffer;
    std::string printed;
};

TEST_F(SectorReader, ReadCdRequestIsBuiltByteForByte) {
    ASSERT_EQ(read(1, 4, 0, 150, 10), 1);
    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 1u);
    // Header through SRB_BufLen: command 2, status 0, adapter 1, flags 0x48, reserved, target 4,
    // LUN 0, reserved, 23520 bytes (little-endian).
    const std::vector<std::uint8_t> head = {0x02, 0x00, 0x01, 0x48, 0, 0, 0, 0, 0x04, 0x00, 0, 0, 0xE0, 0x5B, 0x00, 0x00};
    EXPECT_EQ(std::vector<std::uint8_t>(requests[0].bytes.begin(), requests[0].bytes.begin() + 16), head);
    EXPECT_EQ(requests[0].bytes[ThisExecLayout::sense_len], 16);
    EXPECT_EQ(requests[0].bytes[ThisExecLayout::cdb_len], 12);
    EXPECT_EQ(cdb_of(requests[0]),
              (std::vector<std::uint8_t>{0xBE, 0x00, 0x00, 0x00, 0x00, 0x96, 0x00, 0x00, 0x0A, 0x10, 0x00, 0x00, 0, 0, 0, 0}));
    for (std::size_t at = ThisExecLayout::rsvd2; at < ThisExecLayout::cdb; ++at) EXPECT_EQ(requests[0].bytes[at], 0) << at;
    EXPECT_NE(field(requests[0].exec.SRB_PostProc), nullptr);
    EXPECT_EQ(printed, "");
}

TEST_F(SectorReader, AddressCountAndUnitFieldsForTheWorkedCases) {
    ASSERT_EQ(read(258, 0x105, 0x203, -150, 1), 1);
    auto request = fake.requests().at(0);
    EXPECT_EQ(std::tie(request.exec.SRB_HaId, request.exec.SRB_Target, request.exec.SRB_Lun), std::make_tuple(2, 5, 3))
        << "only the low byte of each reaches the request";
    EXPECT_EQ(field(request.exec.SRB_BufLen), 2352u);
    const auto cdb = cdb_of(request);
    EXPECT_EQ(std::vector<std::uint8_t>(cdb.begin() + 2, cdb.begin() + 9),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x6A, 0x00, 0x00, 0x01}));
}

TEST_F(SectorReader, SectorsArriveInTheCallersBufferAndNoFurther) {
    ASSERT_EQ(read(0, 1, 0, 300, 3), 1);
    EXPECT_EQ(buffer[0], std::uint8_t(300));
    EXPECT_EQ(buffer[2 * SECTOR_BYTES], std::uint8_t(302));
    EXPECT_EQ(buffer[3 * SECTOR_BYTES - 1], std::uint8_t(302));
    EXPECT_EQ(buffer[3 * SECTOR_BYTES], 0xCC);
}

TEST_F(SectorReader, CountOutsideOneToTenSendsNothing) {
    EXPECT_EQ(read(0, 1, 0, 150, 11), 0);
    EXPECT_EQ(printed, "get cdrom data over 10 sectors\n");
    for (std::int32_t count : {0, -3}) {
        EXPECT_EQ(read(0, 1, 0, 150, count), 0);
        EXPECT_EQ(printed, "");
    }
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_EQ(buffer[0], 0xCC);
}

TEST_F(SectorReader, ResultIsTheCompletionStatusAlone) {
    fake.on_exec = [](SRB_ExecSCSICmd &srb) { return FakePassThru::complete(srb, SS_ERR, STATUS_CHKCOND); };
    EXPECT_EQ(read(0, 1, 0, 150, 10), 0);
    EXPECT_EQ(printed, "");

    set_aspi_timeout(std::chrono::milliseconds{10000});  // a wait would show as a hanging test
    for (std::uint8_t at_once : {SS_COMP, SS_NO_DEVICE}) {
        fake.on_exec = [at_once](SRB_ExecSCSICmd &srb) {
            srb.SRB_Status = at_once;
            return std::uint32_t{at_once};
        };
        EXPECT_EQ(read(0, 1, 0, 150, 10), at_once == SS_COMP ? 1 : 0);
        EXPECT_EQ(printed, "");
    }
    fake.on_exec = [](SRB_ExecSCSICmd &srb) { return FakePassThru::complete(srb, SS_COMP, STATUS_BUSY); };
    EXPECT_EQ(read(0, 1, 0, 150, 10), 1) << "the target status is not looked at";
}

TEST_F(SectorReader, TimeOutGivesUpOneReadAndTheNextOneGoesThroughAfresh) {
    auto answer = fake.on_exec;
    cdrom_test::never_complete(fake);
    EXPECT_EQ(read(3, 1, 0, 150, 10), 0);
    EXPECT_EQ(printed, "wait time out\n");
    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].command, SC_ABORT_SRB);
    EXPECT_EQ(requests[1].abort.SRB_HaId, 3);

    fake.on_exec = answer;
    EXPECT_EQ(read(3, 1, 0, 160, 10), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(buffer[0], std::uint8_t(160));
}

TEST_F(SectorReader, HowAReadEndedSaysWhetherAskingAgainIsWorthIt) {
    struct Case {
        std::uint8_t status, ha_stat, targ_stat;
        ReadResult result;
    };
    const Case cases[] = {
        {SS_COMP, HASTAT_OK, STATUS_GOOD, ReadResult::delivered},
        {SS_ERR, HASTAT_OK, STATUS_CHKCOND, ReadResult::refused},  // a sector the drive cannot read
        {SS_ERR, HASTAT_COMMAND_TIMEOUT, STATUS_GOOD, ReadResult::lost},  // the system gave up waiting
        {SS_ERR, HASTAT_COMMAND_TIMEOUT, STATUS_CHKCOND, ReadResult::lost},
        {SS_ABORTED, HASTAT_OK, STATUS_GOOD, ReadResult::lost},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.status) << "/" << int(c.ha_stat) << "/" << int(c.targ_stat));
        fake.on_exec = [c](SRB_ExecSCSICmd &srb) {
            srb.SRB_HaStat = c.ha_stat;
            return FakePassThru::complete(srb, c.status, c.targ_stat);
        };
        bool kept = true;
        EXPECT_EQ(read_cdrom_sectors_outcome(0, 1, 0, buffer.data(), 150, 10), c.result);
        EXPECT_EQ(read_cdrom_sectors_direct(0, 1, 0, buffer.data(), 150, 10, kept), c.result);
        EXPECT_FALSE(kept);
    }
    cdrom_test::never_complete(fake);
    bool kept = true;
    printed = printed_by([&] {
        EXPECT_EQ(read_cdrom_sectors_outcome(0, 1, 0, buffer.data(), 150, 10), ReadResult::lost);
        EXPECT_EQ(read_cdrom_sectors_direct(0, 1, 0, buffer.data(), 150, 10, kept), ReadResult::lost);
    });
    EXPECT_EQ(printed, "wait time out\nwait time out\n");
}

TEST_F(SectorReader, ReadsTheLibraryKeepsLeaveNothingOfTheReadersOpen) {
    fake.on_exec = [](SRB_ExecSCSICmd &) { return std::uint32_t{SS_PENDING}; };
    fake.on_abort = [](SRB_Abort &) { return std::uint32_t{SS_COMP}; };  // accepted, not done
    const int kept_before = aspi_requests_kept_alive();
    const int open_before = cdrom_test::open_descriptors();
    for (int i = 0; i < 3; ++i) {
        bool kept = false;
        printed = printed_by([&] { read_cdrom_sectors_direct(0, 1, 0, buffer.data(), 150, 10, kept); });
        EXPECT_TRUE(kept);
    }
    const int kept = aspi_requests_kept_alive() - kept_before;
    EXPECT_EQ(kept, 3);
    // Each kept request holds its own event for good; the reader itself holds nothing more.
    const int expected_open = CDROM_TEST_LISTS_DESCRIPTORS ? kept : 0;
    EXPECT_EQ(cdrom_test::open_descriptors() - open_before, expected_open);
    descriptors_before += expected_open;
}

TEST_F(SectorReader, UnboundReaderSendsNothing) {
    close_cdrom_reader();
    EXPECT_EQ(read(0, 1, 0, 150, 10), 0);
    EXPECT_EQ(printed, "");

    fake.fail_load();
    int opened = -1;
    EXPECT_EQ(printed_by([&] { opened = open_cdrom_reader(); }), "fail to load the wnaspi32.dll\n");
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(read(0, 1, 0, 150, 10), 0);
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_EQ(buffer[0], 0xCC);
}

TEST_F(SectorReader, WorkerThreadsReadThroughTheBindingTheDriverOpened) {
    close_cdrom_reader();
    int results[4] = {};
    std::thread driver([&] {
        ASSERT_EQ(open_cdrom_reader(), 1);
        // One worker at a time, each on a fresh thread, as the playback runs them.
        for (int i = 0; i < 4; ++i) {
            std::thread worker([&, i] { results[i] = read_cdrom_sectors(0, 1, 0, buffer.data(), 150 + 10 * i, 10); });
            worker.join();
        }
        close_cdrom_reader();
    });
    driver.join();
    for (int result : results) EXPECT_EQ(result, 1);
    EXPECT_EQ(fake.exec_requests().size(), 4u);
    ASSERT_EQ(open_cdrom_reader(), 1);  // for TearDown
}

}  // namespace
