// Our pass-through library through its exported entry points: adapters, request checks, the
// virtual drive's answers on the built-in disc and on CUE/BIN images, the completion protocol.
#include <atomic>
#include <string>
#include <thread>

#include "passthru/image/builtin_disc.h"
#include "tests/passthru/library_fixture.h"

namespace passthru_test {
namespace {

namespace builtin = passthru::image::builtin;

std::vector<std::uint8_t> builtin_sectors(std::int32_t lba, int count) {
    std::vector<std::uint8_t> bytes(std::size_t(count) * 2352);
    for (int i = 0; i < count; ++i) builtin::sector(lba + i, bytes.data() + std::size_t(i) * 2352);
    return bytes;
}

bool starts_with(const std::uint8_t *data, const std::vector<std::uint8_t> &expected) {
    return std::memcmp(data, expected.data(), expected.size()) == 0;
}

SRB_HAInquiry ha_inquiry_block(std::uint8_t ha) {
    SRB_HAInquiry srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_HA_INQUIRY;
    srb.SRB_HaId = ha;
    return srb;
}

std::uint32_t device_type(const PassThru &library, std::uint8_t ha, std::uint8_t target, std::uint8_t lun,
                          std::uint8_t *type = nullptr) {
    SRB_GDEVBlock srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_GET_DEV_TYPE;
    srb.SRB_HaId = ha;
    srb.SRB_Target = target;
    srb.SRB_Lun = lun;
    const std::uint32_t status = library.send(&srb);
    if (type) *type = srb.SRB_DeviceType;
    return status;
}

// ---- Adapters and identity ----

TEST(PassThruAdapters, OursAnswersAndReportsNoAdaptersWithoutImages) {
    PassThru library(nullptr);
    ASSERT_TRUE(library.ready());
    EXPECT_EQ(std::string(library.info()).rfind("cddaplay", 0), 0u) << library.info();
    EXPECT_EQ(library.support_word(), std::uint32_t{SS_NO_ADAPTERS} << 8);
    SRB_HAInquiry srb = ha_inquiry_block(0);
    EXPECT_EQ(library.send(&srb), SS_INVALID_HA);
}

TEST(PassThruAdapters, VirtualAdapterIdentifiesItself) {
    PassThru library("builtin");
    ASSERT_TRUE(library.ready());
    EXPECT_EQ(library.support_word(), 0x0101u);
    SRB_HAInquiry srb = ha_inquiry_block(0);
    EXPECT_EQ(library.send(&srb), SS_COMP);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(srb.HA_Count, 1);
    EXPECT_EQ(srb.HA_SCSI_ID, 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(srb.HA_ManagerId), 14), "ASPI for WIN32");
    EXPECT_NE(srb.HA_Identifier[0], 0);
    SRB_HAInquiry second = ha_inquiry_block(1);
    EXPECT_EQ(library.send(&second), SS_INVALID_HA);
    EXPECT_EQ(second.SRB_Status, SS_INVALID_HA);
}

TEST(PassThruAdapters, UnitsTakeTargetsInOrderSkippingTheAdaptersOwnId) {
    PassThru library("builtin", "units=8");
    ASSERT_TRUE(library.ready());
    std::uint8_t type = 0;
    for (std::uint8_t target : {0, 1, 2, 3, 4, 5, 6, 8}) {
        EXPECT_EQ(device_type(library, 0, target, 0, &type), SS_COMP) << int(target);
        EXPECT_EQ(type, 5);
    }
    EXPECT_EQ(device_type(library, 0, 7, 0), SS_NO_DEVICE);
    EXPECT_EQ(device_type(library, 0, 9, 0), SS_NO_DEVICE);
    EXPECT_EQ(device_type(library, 0, 0, 1), SS_NO_DEVICE);
    EXPECT_EQ(device_type(library, 1, 0, 0), SS_INVALID_HA);
}

TEST(PassThruAdapters, ExtraAdaptersAreEmptyOrCarryTheSameUnits) {
    {
        PassThru library("builtin", "adapters=3");
        ASSERT_TRUE(library.ready());
        EXPECT_EQ(library.support_word(), 0x0103u);
        EXPECT_EQ(device_type(library, 0, 0, 0), SS_COMP);
        EXPECT_EQ(device_type(library, 2, 0, 0), SS_NO_DEVICE);
        SRB_HAInquiry srb = ha_inquiry_block(2);
        EXPECT_EQ(library.send(&srb), SS_COMP);
        EXPECT_EQ(srb.HA_Count, 3);
    }
    PassThru library("builtin", "dup_adapters=2");
    ASSERT_TRUE(library.ready());
    EXPECT_EQ(library.support_word(), 0x0102u);
    EXPECT_EQ(device_type(library, 1, 0, 0), SS_COMP);
    Request inquiry(inquiry_cdb(), 128, 0, 1);
    EXPECT_EQ(run(library, inquiry), SS_COMP);
}

TEST(PassThruAdapters, ReloadingReadsTheConfigurationAgainAndUnloadsCleanly) {
    for (int round = 0; round < 4; ++round) {
        const std::string faults = "units=" + std::to_string(round + 1);
        PassThru library("builtin", faults.c_str());
        ASSERT_TRUE(library.ready());
        EXPECT_EQ(device_type(library, 0, static_cast<std::uint8_t>(round), 0), SS_COMP);
        EXPECT_EQ(device_type(library, 0, static_cast<std::uint8_t>(round + 1), 0), SS_NO_DEVICE);
        Request read(read_cd_cdb(round * 10, 10), 10 * 2352);
        EXPECT_EQ(run(library, read), SS_COMP);
        library.unload();
#if !defined(_WIN32)  // a Windows worker may hold the DLL for the moment it takes to leave
        EXPECT_FALSE(test_support::library_is_loaded(platform::aspi_library_name()));
#endif
    }
}

// ---- Request checks: answered at once, stored in SRB_Status, never signalled ----

TEST(PassThruRequestChecks, BadAdapterAndAbsentUnitAreAnsweredAtOnce) {
    PassThru library("builtin");
    ASSERT_TRUE(library.ready());
    struct Case {
        std::uint8_t ha, target, lun, expected;
    };
    for (const Case c : {Case{1, 0, 0, SS_INVALID_HA}, Case{255, 0, 0, SS_INVALID_HA}, Case{0, 1, 0, SS_NO_DEVICE},
                         Case{0, 0, 1, SS_NO_DEVICE}, Case{0, 7, 0, SS_NO_DEVICE}, Case{0, 200, 0, SS_NO_DEVICE}}) {
        Request request(inquiry_cdb(), 128, c.target, c.ha);
        request.srb.SRB_Lun = c.lun;
        EXPECT_EQ(library.send(&request.srb), c.expected);
        EXPECT_EQ(request.status(), c.expected);
        EXPECT_FALSE(request.signalled());
        EXPECT_TRUE(request.untouched_from(0));
    }
}

TEST(PassThruRequestChecks, MalformedBlocksAreRejectedWithoutBeingRun) {
    PassThru library("builtin");
    ASSERT_TRUE(library.ready());
    struct Case {
        const char *what;
        void (*spoil)(SRB_ExecSCSICmd &);
    };
    const Case cases[] = {
        {"posting and event together", [](SRB_ExecSCSICmd &s) { s.SRB_Flags |= SRB_POSTING; }},
        {"data in and out together", [](SRB_ExecSCSICmd &s) { s.SRB_Flags |= SRB_DIR_OUT; }},
        {"unknown flag", [](SRB_ExecSCSICmd &s) { s.SRB_Flags |= 0x80; }},
        {"scatter/gather list", [](SRB_ExecSCSICmd &s) { s.SRB_Flags |= 0x02; }},
        {"no event to signal", [](SRB_ExecSCSICmd &s) { s.SRB_PostProc = nullptr; }},
        {"CDB length 7", [](SRB_ExecSCSICmd &s) { s.SRB_CDBLen = 7; }},
        {"CDB length 0", [](SRB_ExecSCSICmd &s) { s.SRB_CDBLen = 0; }},
        {"CDB length 17", [](SRB_ExecSCSICmd &s) { s.SRB_CDBLen = 17; }},
        {"data without a buffer", [](SRB_ExecSCSICmd &s) { s.SRB_BufPointer = nullptr; }},
        {"data without a direction", [](SRB_ExecSCSICmd &s) { s.SRB_Flags = SRB_EVENT_NOTIFY; }},
        {"more data than the adapter moves", [](SRB_ExecSCSICmd &s) { s.SRB_BufLen = 0x7FFFFFFF; }},
    };
    for (const Case &c : cases) {
        Request request(inquiry_cdb(), 128);
        c.spoil(request.srb);
        EXPECT_EQ(library.send(&request.srb), SS_INVALID_SRB) << c.what;
        EXPECT_EQ(request.status(), SS_INVALID_SRB) << c.what;
        EXPECT_FALSE(request.signalled()) << c.what;
        EXPECT_TRUE(request.untouched_from(0)) << c.what;
    }
    EXPECT_EQ(library.send(nullptr), SS_INVALID_SRB);
    SRB_Header unknown{};
    unknown.SRB_Cmd = 0x09;
    EXPECT_EQ(library.send(&unknown), SS_INVALID_CMD);
    EXPECT_EQ(unknown.SRB_Status, SS_INVALID_CMD);
    // The library still works afterwards.
    Request good(inquiry_cdb(), 128);
    EXPECT_EQ(run(library, good), SS_COMP);
}

// ---- The virtual drive on the built-in disc ----

class BuiltinDisc : public ::testing::Test {
protected:
    PassThru library{"builtin"};
    void SetUp() override { ASSERT_TRUE(library.ready()); }
};

TEST_F(BuiltinDisc, InquiryIsAShortTransferOfACdromUnit) {
    Request request(inquiry_cdb(), 128);
    EXPECT_EQ(run(library, request), SS_COMP);
    EXPECT_EQ(request.srb.SRB_TargStat, STATUS_GOOD);
    EXPECT_EQ(request.srb.SRB_HaStat, HASTAT_OK);
    EXPECT_EQ(request.srb.SRB_BufLen, 128u) << "no residual counting was asked for";
    const std::uint8_t *d = request.data();
    EXPECT_EQ(d[0], 0x05);
    EXPECT_EQ(d[1], 0x80);
    EXPECT_EQ(d[2] & 7, 5);
    EXPECT_EQ(d[4], 51);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(d + 8), 8), "CDDAPLAY");
    // Vendor specific: the image the unit holds, space-padded.
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(d + 36), 20), "builtin             ");
    EXPECT_TRUE(request.untouched_from(56));
}

TEST_F(BuiltinDisc, ResidualCountIsReportedWhenAsked) {
    Request request(inquiry_cdb(), 128);
    request.srb.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
    EXPECT_EQ(run(library, request), SS_COMP);
    EXPECT_EQ(request.srb.SRB_BufLen, 128u - 56u);
}

TEST_F(BuiltinDisc, TestUnitReadyIsGood) {
    Request request(tur_cdb(), 0);
    EXPECT_EQ(run(library, request), SS_COMP);
    EXPECT_EQ(request.srb.SRB_TargStat, STATUS_GOOD);
}

TEST_F(BuiltinDisc, ReadTocInLbaForm) {
    Request request(read_toc_cdb(false, 1, 2048), 2048);
    EXPECT_EQ(run(library, request), SS_COMP);
    const std::vector<std::uint8_t> expected = {
        0x00, 0x22, 0x01, 0x03,                          // 34 bytes follow; tracks 1..3
        0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // track 1, audio, LBA 0
        0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x02, 0xEE,  // track 2, LBA 750
        0x00, 0x10, 0x03, 0x00, 0x00, 0x00, 0x05, 0x46,  // track 3, LBA 1350
        0x00, 0x10, 0xAA, 0x00, 0x00, 0x00, 0x08, 0xCA,  // lead-out, LBA 2250
    };
    EXPECT_TRUE(starts_with(request.data(), expected));
    EXPECT_TRUE(request.untouched_from(expected.size()));
}

TEST_F(BuiltinDisc, ReadTocInMsfFormAddsTheLeadIn) {
    Request request(read_toc_cdb(true, 0, 2048), 2048);
    EXPECT_EQ(run(library, request), SS_COMP);
    const std::vector<std::uint8_t> expected = {
        0x00, 0x22, 0x01, 0x03,                          //
        0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00,  // 00:02:00
        0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x0C, 0x00,  // 00:12:00
        0x00, 0x10, 0x03, 0x00, 0x00, 0x00, 0x14, 0x00,  // 00:20:00
        0x00, 0x10, 0xAA, 0x00, 0x00, 0x00, 0x20, 0x00,  // 00:32:00
    };
    EXPECT_TRUE(starts_with(request.data(), expected));
}

TEST_F(BuiltinDisc, ReadTocHonoursStartingTrackAndAllocationLength) {
    Request from_two(read_toc_cdb(false, 2, 2048), 2048);
    EXPECT_EQ(run(library, from_two), SS_COMP);
    EXPECT_TRUE(starts_with(from_two.data(), {0x00, 0x1A, 0x01, 0x03, 0x00, 0x10, 0x02, 0x00}));

    Request lead_out_only(read_toc_cdb(false, 0xAA, 2048), 2048);
    EXPECT_EQ(run(library, lead_out_only), SS_COMP);
    EXPECT_TRUE(starts_with(lead_out_only.data(), {0x00, 0x0A, 0x01, 0x03, 0x00, 0x10, 0xAA, 0x00, 0x00, 0x00, 0x08, 0xCA}));

    Request cut(read_toc_cdb(false, 1, 12), 2048);
    EXPECT_EQ(run(library, cut), SS_COMP);
    EXPECT_TRUE(starts_with(cut.data(), {0x00, 0x22, 0x01, 0x03}));  // the full length, though cut
    EXPECT_TRUE(cut.untouched_from(12));

    Request past_last(read_toc_cdb(false, 4, 2048), 2048);
    EXPECT_EQ(run(library, past_last), SS_ERR);
    EXPECT_EQ(past_last.srb.SRB_TargStat, STATUS_CHKCOND);
    EXPECT_EQ(past_last.sense_key(), 0x05);
    EXPECT_EQ(past_last.asc(), 0x24);
}

TEST_F(BuiltinDisc, ReadCdReturnsTheGeneratorsSectors) {
    struct Case {
        std::int32_t lba;
        int count;
    };
    for (const Case c : {Case{0, 1}, Case{745, 10}, Case{1349, 2}, Case{2240, 10}}) {
        Request request(read_cd_cdb(c.lba, c.count), c.count * 2352);
        EXPECT_EQ(run(library, request), SS_COMP) << c.lba;
        EXPECT_TRUE(starts_with(request.data(), builtin_sectors(c.lba, c.count))) << c.lba;
        EXPECT_TRUE(request.untouched_from(std::size_t(c.count) * 2352));
    }
}

TEST_F(BuiltinDisc, ReadCdOutsideTheDiscIsRefusedAndReadsNothing) {
    for (const std::int32_t lba : {2250, 2245, -1, -150, 0x7FFFFFF0}) {
        Request request(read_cd_cdb(lba, 10), 10 * 2352);
        EXPECT_EQ(run(library, request), SS_ERR) << lba;
        EXPECT_EQ(request.srb.SRB_TargStat, STATUS_CHKCOND);
        EXPECT_EQ(request.sense_key(), 0x05);
        EXPECT_EQ(request.asc(), 0x21);
        EXPECT_EQ(request.ascq(), 0x00);
        EXPECT_TRUE(request.untouched_from(0));
    }
}

TEST_F(BuiltinDisc, ShortBufferGetsWhatFitsAndAnOverrun) {
    Request request(read_cd_cdb(100, 2), 3000);
    EXPECT_EQ(run(library, request), SS_ERR);
    EXPECT_EQ(request.srb.SRB_HaStat, HASTAT_DO_DU);
    const auto expected = builtin_sectors(100, 2);
    EXPECT_EQ(std::memcmp(request.data(), expected.data(), 3000), 0);
    EXPECT_TRUE(request.untouched_from(3000));
}

TEST_F(BuiltinDisc, UnknownCommandIsIllegalRequestAndSenseIsCutToSenseLength) {
    Request request({{0x1B, 0, 0, 0, 0x02, 0}, 6}, 0);  // START STOP UNIT (eject)
    request.srb.SRB_SenseLen = 14;
    EXPECT_EQ(run(library, request), SS_ERR);
    EXPECT_EQ(request.srb.SRB_TargStat, STATUS_CHKCOND);
    EXPECT_EQ(request.srb.SRB_HaStat, HASTAT_OK);
    EXPECT_EQ(request.srb.SenseArea[0] & 0x7F, 0x70);
    EXPECT_EQ(request.sense_key(), 0x05);
    EXPECT_EQ(request.asc(), 0x20);
    EXPECT_EQ(request.srb.SenseArea[14], kCanary);
    EXPECT_EQ(request.srb.SenseArea[15], kCanary);

    Request sense({{0x03, 0, 0, 0, 18, 0}, 6}, 18);
    EXPECT_EQ(run(library, sense), SS_COMP);
    EXPECT_EQ(sense.data()[2] & 0x0F, 0x05);
    EXPECT_EQ(sense.data()[12], 0x20);
}

TEST_F(BuiltinDisc, ReadCapacityGivesTheLastSector) {
    Request request({{0x25}, 10}, 8);
    EXPECT_EQ(run(library, request), SS_COMP);
    EXPECT_TRUE(starts_with(request.data(), {0x00, 0x00, 0x08, 0xC9, 0x00, 0x00, 0x08, 0x00}));
}

// ---- Completion protocol ----

TEST_F(BuiltinDisc, AVirtualDriveAnswersAtOnceNeverPendingAndNeverSignals) {
    Request request(read_cd_cdb(500, 10), 10 * 2352);
    EXPECT_EQ(library.send(&request.srb), SS_COMP);
    EXPECT_EQ(request.status(), SS_COMP);
    EXPECT_TRUE(starts_with(request.data(), builtin_sectors(500, 10)));
    EXPECT_FALSE(request.signalled()) << "a reused auto-reset event must not keep a stale signal";
    Request missing(read_cd_cdb(5000, 1), 2352);  // past the lead-out: an error, also at once
    EXPECT_EQ(library.send(&missing.srb), SS_ERR);
    EXPECT_EQ(missing.sense_key(), 0x05);
    EXPECT_FALSE(missing.signalled());
}

// A drive that answers through the worker, as a real one does.
class PendingDisc : public ::testing::Test {
protected:
    PassThru library{"builtin", "pending"};
    void SetUp() override { ASSERT_TRUE(library.ready()); }
};

TEST_F(PendingDisc, StatusIsStoredLastSoAPollingCallerSeesCompleteData) {
    Request request(read_cd_cdb(500, 10), 10 * 2352);
    request.srb.SRB_Flags = SRB_DIR_IN;  // no notification: the caller polls SRB_Status
    request.srb.SRB_PostProc = nullptr;
    ASSERT_EQ(library.send(&request.srb), SS_PENDING);
    while (request.status() == SS_PENDING) std::this_thread::yield();
    EXPECT_EQ(request.status(), SS_COMP);
    EXPECT_TRUE(starts_with(request.data(), builtin_sectors(500, 10)));
}

std::atomic<int> g_posted{0};
std::atomic<std::uint8_t> g_status_when_posted{0xFF};
void ASPI_CDECL record_posting(SRB_ExecSCSICmd *srb) {
    g_status_when_posted = std::atomic_ref<std::uint8_t>(srb->SRB_Status).load(std::memory_order_acquire);
    ++g_posted;
}

TEST_F(PendingDisc, PostingRoutineIsCalledOnceAfterCompletion) {
    g_posted = 0;
    Request request(inquiry_cdb(), 128);
    request.srb.SRB_Flags = SRB_DIR_IN | SRB_POSTING;
    request.srb.SRB_PostProc = reinterpret_cast<void *>(&record_posting);
    ASSERT_EQ(library.send(&request.srb), SS_PENDING);
    while (g_posted.load() == 0) std::this_thread::yield();
    EXPECT_EQ(g_status_when_posted.load(), SS_COMP);
    EXPECT_EQ(request.data()[0], 0x05);
    library.unload();  // joins the worker: no later call can hide
    EXPECT_EQ(g_posted.load(), 1);
}

TEST_F(PendingDisc, RequestsFromSeveralThreadsEachCompleteOnce) {
    constexpr int kThreads = 4, kRounds = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const std::int32_t lba = (t * kRounds + r) * 20;
                Request request(read_cd_cdb(lba, 3), 3 * 2352);
                if (library.send(&request.srb) != SS_PENDING || !request.wait() || request.signalled() ||
                    request.status() != SS_COMP || !starts_with(request.data(), builtin_sectors(lba, 3)))
                    ++failures;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

// ---- A CUE/BIN image shaped like a real one ----

class CueImage : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("audio.bin", image_bytes(0xA1, 100));
        dir.write("data.bin", image_bytes(0xD1, 20));
        sheet = dir.write("disc.cue",
                          "REM COMMENT \"made by the test\"\r\n"
                          "PERFORMER \"Test Artist\"\r\n"
                          "TITLE \"Shaped Like Real\"\r\n"
                          "FILE \"audio.bin\" BINARY\r\n"
                          "  TRACK 01 AUDIO\r\n"
                          "    INDEX 01 00:00:00\r\n"
                          "  TRACK 02 AUDIO\r\n"
                          "    FLAGS DCP\r\n"
                          "    INDEX 00 00:00:40\r\n"
                          "    INDEX 01 00:00:50\r\n"
                          "FILE \"data.bin\" BINARY\r\n"
                          "  TRACK 03 MODE1/2352\r\n"
                          "    PREGAP 00:00:05\r\n"
                          "    INDEX 01 00:00:00\r\n");
    }
    TempDir dir;
    std::string sheet;
};

TEST_F(CueImage, TableOfContentsFollowsFilesIndexesAndGaps) {
    PassThru library(sheet.c_str());
    ASSERT_TRUE(library.ready());
    Request request(read_toc_cdb(false, 1, 2048), 2048);
    EXPECT_EQ(run(library, request), SS_COMP);
    const std::vector<std::uint8_t> expected = {
        0x00, 0x22, 0x01, 0x03,                          //
        0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // track 1 at 0
        0x00, 0x12, 0x02, 0x00, 0x00, 0x00, 0x00, 0x32,  // track 2 at 50 (INDEX 01), copy permitted
        0x00, 0x14, 0x03, 0x00, 0x00, 0x00, 0x00, 0x69,  // data track 3 at 100 + 5 silent sectors
        0x00, 0x14, 0xAA, 0x00, 0x00, 0x00, 0x00, 0x7D,  // lead-out at 125
    };
    EXPECT_TRUE(starts_with(request.data(), expected));
}

// Audio before track 1's INDEX 01 (a hidden track) is read from LBA 0 as on a real disc; the unit
// names its image in INQUIRY's vendor-specific bytes, cut at 20.
TEST_F(CueImage, AHiddenTrackBeforeTrackOneIsReadFromTheFirstSector) {
    const std::string hidden = dir.write("A rather long sheet name.cue",
                                         "FILE \"audio.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:40\n");
    PassThru library(hidden.c_str());
    ASSERT_TRUE(library.ready());
    Request toc(read_toc_cdb(false, 1, 2048), 2048);
    EXPECT_EQ(run(library, toc), SS_COMP);
    EXPECT_EQ(toc.data()[11], 40) << "track 1 starts at its INDEX 01";
    Request first(read_cd_cdb(0, 40), 40 * 2352);
    EXPECT_EQ(run(library, first), SS_COMP);
    const auto audio = image_bytes(0xA1, 100);
    EXPECT_EQ(std::memcmp(first.data(), audio.data(), 40 * 2352), 0);
    Request inquiry(inquiry_cdb(), 128);
    EXPECT_EQ(run(library, inquiry), SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(inquiry.data() + 36), 20), "A rather long sheet ");
}

// CD-Text is served in ISO 8859-1 as a drive serves it, whatever the sheet was written in: each
// character converted on its own, '?' where ISO 8859-1 has none.
TEST_F(CueImage, CdTextIsLatin1WithAQuestionMarkForWhatItCannotHold) {
    struct Sheet {
        const char *name;
        std::string text;
        std::string titles;  // the title packs' text: the disc's, then track 1's, each with its NUL
    };
    const Sheet sheets[] = {
        {"utf8.cue",
         "TITLE \"Caf\xC3\xA9 D\xC3\xA9j\xC3\xA0 Vu \xE2\x80\x94 \xC5\x92uvres\"\nFILE \"audio.bin\" BINARY\n"
         "  TRACK 01 AUDIO\n    TITLE \"\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1 \xF0\x9F\x8E\xB5\"\n"
         "    INDEX 01 00:00:00\n",
         std::string("Caf\xE9 D\xE9j\xE0 Vu ? ?uvres\0?????? ?\0", 31)},
        {"cp1252.cue",
         "TITLE \"\x80uro \x93quoted\x94 Caf\xE9\"\nFILE \"audio.bin\" BINARY\n  TRACK 01 AUDIO\n    TITLE \"Na\xEFve\"\n"
         "    INDEX 01 00:00:00\n",
         std::string("?uro ?quoted? Caf\xE9\0Na\xEFve\0", 25)},
    };
    for (const Sheet &sheet : sheets) {
        SCOPED_TRACE(sheet.name);
        PassThru library(dir.write(sheet.name, sheet.text).c_str());
        ASSERT_TRUE(library.ready());
        Cdb cdtext = read_toc_cdb(false, 0, 2048);
        cdtext.bytes[2] = 5;
        Request request(cdtext, 2048);
        ASSERT_EQ(run(library, request), SS_COMP);
        const std::uint8_t *d = request.data();
        std::string titles;
        for (std::size_t at = 4; at + 18 <= std::size_t(d[0] << 8 | d[1]) + 2; at += 18)
            if (d[at] == 0x80) titles.append(reinterpret_cast<const char *>(d + at + 4), 12);
        EXPECT_EQ(titles.substr(0, sheet.titles.size()), sheet.titles);
    }
}

TEST_F(CueImage, ReadCdServesExactlyTheImagesBytes) {
    PassThru library(sheet.c_str());
    ASSERT_TRUE(library.ready());
    const auto audio = image_bytes(0xA1, 100);
    const auto data = image_bytes(0xD1, 20);

    Request pregap_and_start(read_cd_cdb(40, 12), 12 * 2352);
    EXPECT_EQ(run(library, pregap_and_start), SS_COMP);
    EXPECT_EQ(std::memcmp(pregap_and_start.data(), audio.data() + 40 * 2352, 12 * 2352), 0);

    // Into the data track: its sector gives only its 2048 bytes of user data, after the 16 bytes
    // of sync and header, and the transfer ends short yet complete, as on a real drive.
    Request across_the_silence(read_cd_cdb(99, 7), 7 * 2352);
    EXPECT_EQ(run(library, across_the_silence), SS_COMP);
    EXPECT_EQ(std::memcmp(across_the_silence.data(), audio.data() + 99 * 2352, 2352), 0);
    const std::vector<std::uint8_t> silence(5 * 2352, 0);
    EXPECT_EQ(std::memcmp(across_the_silence.data() + 2352, silence.data(), silence.size()), 0);
    EXPECT_EQ(std::memcmp(across_the_silence.data() + 6 * 2352, data.data() + 16, 2048), 0);
    EXPECT_TRUE(across_the_silence.untouched_from(6 * 2352 + 2048));

    Request last(read_cd_cdb(124, 1), 2352);
    EXPECT_EQ(run(library, last), SS_COMP);
    EXPECT_EQ(std::memcmp(last.data(), data.data() + 19 * 2352 + 16, 2048), 0);
    EXPECT_TRUE(last.untouched_from(2048));

    Cdb everything = read_cd_cdb(124, 1);
    everything.bytes[9] = 0xF8;  // sync, headers, user data, EDC/ECC: the whole raw sector
    Request raw(everything, 2352);
    EXPECT_EQ(run(library, raw), SS_COMP);
    EXPECT_EQ(std::memcmp(raw.data(), data.data() + 19 * 2352, 2352), 0);

    Request audio_type_on_data(read_cd_cdb(105, 1, 1), 2352);
    EXPECT_EQ(run(library, audio_type_on_data), SS_ERR);
    EXPECT_EQ(audio_type_on_data.asc(), 0x64);
}

TEST_F(CueImage, EveryEntryKeepsItsUnitARefusedOneIsAnEmptyDriveAndItsReasonIsSaidOncePerRun) {
    const std::string broken = dir.write("broken.cue", "FILE \"audio.bin\" BINARY\n  TRACK 01 AUDIO\n  INDEX 01 00:61:00\n");
    const std::string missing = (std::filesystem::path(sheet).parent_path() / "missing.cue").string();
    const std::string list = broken + ";" + sheet + " ; builtin;" + missing;
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    PassThru library(list.c_str());
    ASSERT_TRUE(library.ready());
    EXPECT_EQ(library.support_word(), 0x0101u);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "") << "the program's standard output is compared byte for byte";
    EXPECT_NE(err.find("broken.cue', line 3: bad time '00:61:00'"), std::string::npos) << err;
    EXPECT_NE(err.find("unit 0 is an empty drive"), std::string::npos) << err;
    EXPECT_NE(err.find("missing.cue"), std::string::npos) << err;
    EXPECT_NE(err.find("unit 3 is an empty drive"), std::string::npos) << err;
    EXPECT_EQ(err.find("broken.cue"), err.rfind("broken.cue")) << "said once";

    for (int target = 0; target < 4; ++target) EXPECT_EQ(device_type(library, 0, target, 0), SS_COMP) << target;
    EXPECT_EQ(device_type(library, 0, 4, 0), SS_NO_DEVICE);
    for (int empty : {0, 3}) {
        Request ready(tur_cdb(), 0, empty);
        EXPECT_EQ(run(library, ready), SS_ERR);
        EXPECT_EQ(ready.sense_key(), 0x02);
        EXPECT_EQ(ready.asc(), 0x3A);
        Request read(read_cd_cdb(0, 1), 2352, empty);
        EXPECT_EQ(run(library, read), SS_ERR);
        EXPECT_EQ(read.sense_key(), 0x02);
    }
    Request image_unit(read_cd_cdb(124, 1), 2352, 1);
    EXPECT_EQ(run(library, image_unit), SS_COMP);
    Request builtin_unit(read_cd_cdb(124, 1), 2352, 2);
    EXPECT_EQ(run(library, builtin_unit), SS_COMP);
    EXPECT_TRUE(starts_with(builtin_unit.data(), builtin_sectors(124, 1)));
    library.unload();

    // The program's next phase loads the library again in the same run: nothing more is said.
    ::testing::internal::CaptureStderr();
    set_env("CDDAPLAY_IMAGES", list.c_str());
    auto again = platform::load_library(platform::aspi_library_name());
    ASSERT_NE(again, nullptr);
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(platform::find_entry(again, "GetASPI32SupportInfo"));
    EXPECT_EQ(support(), 0x0101u);
    platform::free_library(again);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(CueImage, ImageFilesStayOpenFromLoadingAndOneCutShortGivesAMediumErrorSaidOnce) {
    const auto audio = std::filesystem::path(sheet).parent_path() / "audio.bin";
    {
        PassThru library(sheet.c_str());
        ASSERT_TRUE(library.ready());
        ASSERT_EQ(library.support_word(), 0x0101u);  // loads the sheet, opens its files
        std::filesystem::remove(audio);
        Request still(read_cd_cdb(0, 10), 10 * 2352);
        EXPECT_EQ(run(library, still), SS_COMP) << "the open file outlives its name";
    }

    dir.write("audio.bin", image_bytes(0xA1, 100));  // a new file of that name is not ours
    PassThru cut(sheet.c_str());
    ASSERT_EQ(cut.support_word(), 0x0101u);
    std::filesystem::resize_file(audio, 5 * 2352);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i) {
        Request request(read_cd_cdb(0, 10), 10 * 2352);
        EXPECT_EQ(run(cut, request), SS_ERR);
        EXPECT_EQ(request.sense_key(), 0x03);
        EXPECT_EQ(request.asc(), 0x11);
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot read '" + audio.string() + "': the file is shorter than when it was loaded"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("cannot read"), err.rfind("cannot read")) << "one line per file";
}

// ---- A multi-session image: an Enhanced CD ----

TEST(SessionImage, SecondSessionStartsAfterTheGapWhichCannotBeReadAndFormat1SaysSo) {
    TempDir dir;
    dir.write("audio.bin", image_bytes(0xA1, 30));
    auto data = image_bytes(0xD2, 4);
    data[2 * 2352 + 18] = 0x20;  // sector 2: Mode 2 Form 2 (subheader submode)
    dir.write("extra.bin", data);
    const std::string sheet = dir.write("extra.cue",
                                        "REM SESSION 01\n"
                                        "FILE \"audio.bin\" BINARY\n"
                                        "  TRACK 01 AUDIO\n"
                                        "    INDEX 01 00:00:00\n"
                                        "  TRACK 02 AUDIO\n"
                                        "    INDEX 01 00:00:20\n"
                                        "REM SESSION 02\n"
                                        "FILE \"extra.bin\" BINARY\n"
                                        "  TRACK 03 MODE2/2352\n"
                                        "    INDEX 01 00:00:00\n");
    PassThru library(sheet.c_str());
    ASSERT_TRUE(library.ready());

    Request toc(read_toc_cdb(false, 1, 2048), 2048);
    EXPECT_EQ(run(library, toc), SS_COMP);
    const std::int32_t data_start = 30 + 11400;
    EXPECT_TRUE(starts_with(toc.data(), {0x00, 0x22, 0x01, 0x03,                                    //
                                         0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,            //
                                         0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x14,            //
                                         0x00, 0x14, 0x03, 0x00, 0x00, 0x00, 0x2C, 0xA6,            // 11430
                                         0x00, 0x14, 0xAA, 0x00, 0x00, 0x00, 0x2C, 0xAA}));         // 11434

    Cdb format1 = read_toc_cdb(false, 0, 12);
    format1.bytes[2] = 1;
    Request sessions(format1, 12);
    EXPECT_EQ(run(library, sessions), SS_COMP);
    EXPECT_TRUE(starts_with(sessions.data(), {0x00, 0x0A, 0x01, 0x02, 0x00, 0x14, 0x03, 0x00, 0x00, 0x00, 0x2C, 0xA6}));

    for (std::int32_t lba : {30, 5000, data_start - 1}) {
        SCOPED_TRACE(lba);
        Request gap(read_cd_cdb(lba, 1), 2352);
        EXPECT_EQ(run(library, gap), SS_ERR) << "lead-out, lead-in and pregap hold nothing readable";
        EXPECT_EQ(gap.sense_key(), 0x05);
    }
    Request last_audio(read_cd_cdb(20, 10), 10 * 2352);
    EXPECT_EQ(run(library, last_audio), SS_COMP);

    // Mode 2: Form 1 gives 2048 bytes, Form 2 2324, both after the 8-byte subheader.
    Request form1_and_form2(read_cd_cdb(data_start + 1, 2), 2 * 2352);
    EXPECT_EQ(run(library, form1_and_form2), SS_COMP);
    EXPECT_EQ(std::memcmp(form1_and_form2.data(), data.data() + 2352 + 24, 2048), 0);
    EXPECT_EQ(std::memcmp(form1_and_form2.data() + 2048, data.data() + 2 * 2352 + 24, 2324), 0);
    EXPECT_TRUE(form1_and_form2.untouched_from(2048 + 2324));

    // SET CD SPEED: accepted, with no data phase.
    Request speed({{0xBB, 0, 0x02, 0xC0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, 12}, 0);
    EXPECT_EQ(run(library, speed), SS_COMP);
}

TEST_F(CueImage, DataSectorsStoredShortComeOutAsRawSectorsWithTheirBytesInPlace) {
    // Two MODE1/2048 sectors and two MODE2/2336 sectors, each byte telling its sector and place.
    auto stored = [](int sectors, int size, std::uint8_t tag) {
        std::vector<std::uint8_t> bytes(std::size_t(sectors) * size);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(tag + i / size + i * 7);
        return bytes;
    };
    const auto iso = stored(2, 2048, 0x10), vcd = stored(2, 2336, 0x60);
    dir.write("game.iso", iso);
    dir.write("video.bin", vcd);
    const std::string data_sheet = dir.write("data.cue",
                                             "FILE \"game.iso\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                             "FILE \"video.bin\" BINARY\n  TRACK 02 MODE2/2336\n    INDEX 01 00:00:00\n");
    PassThru library(data_sheet.c_str());
    ASSERT_EQ(library.support_word(), 0x0101u);
    Cdb cdb = read_cd_cdb(0, 4);
    cdb.bytes[9] = 0xF8;  // sync, header, user data, EDC/ECC: the whole raw sector
    Request request(cdb, 4 * 2352);
    ASSERT_EQ(run(library, request), SS_COMP);
    for (int s = 0; s < 4; ++s) {
        SCOPED_TRACE(s);
        const std::uint8_t *sector = request.data() + s * 2352;
        const std::uint8_t sync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
        EXPECT_EQ(std::memcmp(sector, sync, 12), 0);
        const std::uint8_t header[4] = {0x00, 0x02, static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(s < 2 ? 1 : 2)};
        EXPECT_EQ(std::memcmp(sector + 12, header, 4), 0) << "MSF 00:02:0s in BCD, then the mode";
        const int size = s < 2 ? 2048 : 2336;
        const std::uint8_t *file_bytes = s < 2 ? iso.data() + s * 2048 : vcd.data() + (s - 2) * 2336;
        EXPECT_EQ(std::memcmp(sector + 16, file_bytes, std::size_t(size)), 0);
        EXPECT_TRUE(std::all_of(sector + 16 + size, sector + 2352, [](std::uint8_t b) { return b == 0; }));
    }
}

}  // namespace
}  // namespace passthru_test
