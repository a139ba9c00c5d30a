// The table of contents reader against the in-process fake library, and its parse on its own.
#include <algorithm>
#include <memory>

#include "cdrom/toc.h"
#include "cdrom/unit_status.h"
#include "common/byte_order.h"
#include "tests/cdrom/cdrom_test_support.h"

namespace {

using cdrom_test::cdb_of;
using cdrom_test::field;
using cdrom_test::printed_by;

struct Descriptor {
    std::uint8_t adr_control;
    std::uint8_t track;
    std::uint32_t start;
};

// A READ TOC format 0 answer: header with its data length, then the descriptors.
std::vector<std::uint8_t> toc_answer(std::uint8_t first, std::uint8_t last, const std::vector<Descriptor> &descriptors) {
    std::vector<std::uint8_t> bytes(4 + 8 * descriptors.size());
    put_be16(&bytes[0], static_cast<std::uint16_t>(bytes.size() - 2));
    bytes[2] = first;
    bytes[3] = last;
    for (std::size_t i = 0; i < descriptors.size(); ++i) {
        bytes[4 + 8 * i + 1] = descriptors[i].adr_control;
        bytes[4 + 8 * i + 2] = descriptors[i].track;
        put_be32(&bytes[4 + 8 * i + 4], descriptors[i].start);
    }
    return bytes;
}

// An audio disc of `tracks` tracks, track n starting at 150 + 1000 (n - 1).
std::vector<std::uint8_t> audio_disc(int tracks) {
    std::vector<Descriptor> descriptors;
    for (int n = 1; n <= tracks; ++n) descriptors.push_back({0x10, std::uint8_t(n), 150u + 1000u * (n - 1)});
    descriptors.push_back({0x10, 0xAA, 150u + 1000u * tracks});
    return toc_answer(1, std::uint8_t(tracks), descriptors);
}

void fill_with_marker(CdromToc *toc) {
    toc->track_count = -7;
    for (auto &entry : toc->entries) entry = {-7, -7};
}

class TableOfContents : public cdrom_test::FakeLibraryTest {
protected:
    void SetUp() override {
        FakeLibraryTest::SetUp();
        answer_with(audio_disc(1));
    }
    // TEST UNIT READY answers as scripted; READ TOC completes with `answer`; READ TOC format 1 with
    // `sessions`, or, while that is empty, with an error, as on a unit that does not know it.
    void answer_with(std::vector<std::uint8_t> answer, std::uint8_t toc_status = SS_COMP) {
        fake.on_exec = [this, answer = std::move(answer), toc_status](SRB_ExecSCSICmd &srb) {
            if (srb.CDBByte[0] == 0x00) return FakePassThru::complete(srb, ready_status, ready_targ_stat);
            if (srb.CDBByte[2] == 1) {
                const std::size_t n = std::min<std::size_t>(sessions.size(), field(srb.SRB_BufLen));
                if (n) std::memcpy(srb.SRB_BufPointer, sessions.data(), n);
                return FakePassThru::complete(srb, sessions.empty() ? SS_ERR : SS_COMP);
            }
            if (!answer.empty()) std::memcpy(srb.SRB_BufPointer, answer.data(), answer.size());
            return FakePassThru::complete(srb, toc_status);
        };
    }
    CdromToc *read_toc(std::int32_t ignore_target_status = 0) {
        CdromToc *toc = nullptr;
        printed = printed_by([&] { toc = get_cdrom_toc(1, 3, 2, ignore_target_status); });
        return toc;
    }
    // A table pointer to mark before a call that is expected to leave the table alone.
    CdromToc *marked_table() {
        CdromToc *toc = read_toc();
        if (toc) fill_with_marker(toc);
        return toc;
    }

    std::uint8_t ready_status = SS_COMP;
    std::uint8_t ready_targ_stat = 0;
    std::string printed;
    std::vector<std::uint8_t> sessions;
};

TEST_F(TableOfContents, SendsTestUnitReadyThenReadTocByteForByte) {
    ASSERT_NE(read_toc(), nullptr);
    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 3u);

    const SRB_ExecSCSICmd &tur = requests[0].exec;
    EXPECT_EQ(std::tie(tur.SRB_Cmd, tur.SRB_HaId, tur.SRB_Target, tur.SRB_Lun), std::make_tuple(2, 1, 3, 2));
    cdrom_test::expect_exec_fields(tur, {.flags = 0x40, .data_length = 0, .sense_length = 16, .cdb_length = 6});
    EXPECT_EQ(cdb_of(requests[0]), std::vector<std::uint8_t>(16, 0));

    const SRB_ExecSCSICmd &toc = requests[1].exec;
    EXPECT_EQ(std::tie(toc.SRB_Cmd, toc.SRB_HaId, toc.SRB_Target, toc.SRB_Lun), std::make_tuple(2, 1, 3, 2));
    cdrom_test::expect_exec_fields(toc, {.flags = 0x48, .data_length = 2048, .sense_length = 14, .cdb_length = 10});
    EXPECT_EQ(cdb_of(requests[1]),
              (std::vector<std::uint8_t>{0x43, 0, 0, 0, 0, 0, 0x01, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0}));

    cdrom_test::expect_exec_fields(requests[2].exec, {.flags = 0x48, .data_length = 12, .sense_length = 16, .cdb_length = 10});
    EXPECT_EQ(cdb_of(requests[2]), (std::vector<std::uint8_t>{0x43, 0, 0x01, 0, 0, 0, 0, 0x00, 0x0C, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(TableOfContents, TwelveTrackDiscFillsTracksAndLeadOutAndLeavesTheRestAlone) {
    CdromToc *toc = marked_table();
    ASSERT_NE(toc, nullptr);
    std::vector<Descriptor> descriptors;
    for (int n = 1; n <= 12; ++n) descriptors.push_back({0x10, std::uint8_t(n), 300u * n});
    descriptors[0].start = 0x96;
    descriptors[1].adr_control = 0x14;  // data track
    descriptors[2].adr_control = 0x12;  // pre-emphasis: still audio
    descriptors[3].adr_control = 0x11;
    descriptors.push_back({0x14, 0xAA, 0x0004A2E4});  // the lead-out has its own CONTROL
    answer_with(toc_answer(1, 12, descriptors));

    ASSERT_EQ(read_toc(), toc);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(toc->track_count, 12);
    EXPECT_EQ(toc->entries[0].start_lba, 150);
    EXPECT_EQ(toc->entries[1].start_lba, 600);
    EXPECT_EQ(toc->entries[4].start_lba, 1500);
    EXPECT_EQ(toc->entries[11].start_lba, 3600);
    EXPECT_EQ(toc->entries[12].start_lba, 0x0004A2E4);
    const int audio[13] = {1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0};
    for (int i = 0; i <= 12; ++i) EXPECT_EQ(toc->entries[i].is_audio, audio[i]) << "entry " << i;
    for (int i = 13; i < CDROM_TOC_ENTRIES; ++i) {
        EXPECT_EQ(toc->entries[i].is_audio, -7) << "entry " << i;
        EXPECT_EQ(toc->entries[i].start_lba, -7) << "entry " << i;
    }
}

TEST_F(TableOfContents, LastTrackZeroStillFillsEntryZero) {
    CdromToc *toc = marked_table();
    answer_with(toc_answer(0, 0, {{0x10, 0xAA, 0x96}}));
    ASSERT_EQ(read_toc(), toc);
    EXPECT_EQ(toc->track_count, 0);
    EXPECT_EQ(toc->entries[0].start_lba, 150);
    EXPECT_EQ(toc->entries[0].is_audio, 1);
    EXPECT_EQ(toc->entries[1].start_lba, -7);
}

TEST_F(TableOfContents, DiscStartingAtTrackThreeIsNumberedFromItsFirstTrackUpToItsLeadOut) {
    CdromToc *toc = marked_table();
    // Tracks 3-5 and the lead-out: four descriptors, though the last track number says 5.
    answer_with(toc_answer(3, 5, {{0x10, 3, 150}, {0x10, 4, 1150}, {0x14, 5, 2150}, {0x10, 0xAA, 3150}}));
    ASSERT_EQ(read_toc(), toc);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(toc->track_count, 3);
    EXPECT_EQ(toc->entries[0].start_lba, 150);
    EXPECT_EQ(toc->entries[2].is_audio, 0);
    EXPECT_EQ(toc->entries[3].start_lba, 3150) << "the lead-out ends the table";
    EXPECT_EQ(toc->entries[4].start_lba, -7);
}

TEST_F(TableOfContents, AnswerWithoutAnyDescriptorIsAFailure) {
    CdromToc *toc = marked_table();
    answer_with(toc_answer(1, 12, {}));
    EXPECT_EQ(read_toc(), nullptr);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(toc->track_count, -7);
    answer_with({});  // SS_COMP with no data at all
    EXPECT_EQ(read_toc(), nullptr);
    EXPECT_EQ(toc->track_count, -7);
}

TEST_F(TableOfContents, ReadTocThatCompletesWithAnErrorIsAFailure) {
    CdromToc *toc = marked_table();
    answer_with(audio_disc(5), SS_ERR);
    EXPECT_EQ(read_toc(), nullptr);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(toc->track_count, -7);
}

TEST_F(TableOfContents, TestUnitReadyDecidesWhetherReadTocIsSent) {
    struct Case {
        std::uint8_t status, targ_stat;
        std::int32_t ignore_target_status;
        bool ready;
    };
    const Case cases[] = {
        {SS_COMP, 0, 0, true},
        {SS_COMP, STATUS_CHKCOND, 0, false},
        {SS_COMP, STATUS_CHKCOND, 1, true},
        {SS_COMP, STATUS_BUSY, 2, false},  // only exactly 1 excuses the target status
        {SS_ERR, 0, 1, false},             // never excuses the status itself
        {SS_ABORTED, 0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.status) << "/" << int(c.targ_stat) << "/" << c.ignore_target_status);
        ready_status = c.status;
        ready_targ_stat = c.targ_stat;
        const std::size_t before = fake.requests().size();
        CdromToc *toc = read_toc(c.ignore_target_status);
        EXPECT_EQ(toc != nullptr, c.ready);
        EXPECT_EQ(printed, c.ready ? "" : "cdrom_device is not abilable\n");
        EXPECT_EQ(fake.requests().size() - before, c.ready ? 3u : 1u);
    }
}

TEST_F(TableOfContents, ListingAndPlaybackJudgeADiscChangeAlike) {
    // After a disc change the unit's first TEST UNIT READY reports it (CHECK CONDITION, unit
    // attention); asked again, it is ready. The listing and playback each meet it fresh.
    auto answer = fake.on_exec;
    int asked = 0;
    fake.on_exec = [&](SRB_ExecSCSICmd &srb) {
        if (srb.CDBByte[0] == 0x00 && ++asked == 1) return FakePassThru::complete(srb, SS_ERR, STATUS_CHKCOND);
        return answer(srb);
    };
    bool disc_in = true;
    printed_by([&] { disc_in = probe_cdrom_unit(CdromDevice{1, 3, 2, 0}).disc_in; });
    asked = 0;
    const bool playable = read_toc() != nullptr;
    EXPECT_EQ(disc_in, playable) << "the listing says \"disc in\" only where playing can start";
    EXPECT_FALSE(playable) << "TEST UNIT READY is sent once";
}

TEST_F(TableOfContents, UnitAnsweringAtOnceIsJudgedWithoutAWait) {
    set_aspi_timeout(std::chrono::milliseconds{10000});  // a wait would show as a hanging test
    fake.on_exec = [](SRB_ExecSCSICmd &srb) {
        srb.SRB_Status = SS_NO_DEVICE;
        return std::uint32_t{SS_NO_DEVICE};
    };
    EXPECT_EQ(read_toc(1), nullptr);
    EXPECT_EQ(printed, "cdrom_device is not abilable\n");
}

TEST_F(TableOfContents, EitherCommandTimingOutFailsAfterOneAbort) {
    for (std::uint8_t hanging_command : {0x00, 0x43}) {
        SCOPED_TRACE(int(hanging_command));
        auto answer = fake.on_exec;
        cdrom_test::never_complete(fake);
        auto hang = fake.on_exec;
        fake.on_exec = [&](SRB_ExecSCSICmd &srb) { return srb.CDBByte[0] == hanging_command ? hang(srb) : answer(srb); };
        const std::size_t before = fake.requests().size();

        EXPECT_EQ(read_toc(), nullptr);
        EXPECT_EQ(printed, "wait time out\n");
        auto requests = fake.requests();
        ASSERT_EQ(requests.size() - before, hanging_command == 0x00 ? 2u : 3u) << "READ TOC follows no time-out";
        EXPECT_EQ(requests.back().command, SC_ABORT_SRB);
        EXPECT_EQ(requests.back().abort.SRB_HaId, 1);
        fake.on_exec = answer;
    }
}

TEST_F(TableOfContents, LibraryThatCannotBeBoundPrintsItsOwnMessage) {
    fake.remove_support_info();  // required although the reader never calls it
    EXPECT_EQ(read_toc(), nullptr);
    EXPECT_EQ(printed, "fail to get the process lpGetASPI32SupportInfo\n");
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(TableOfContents, TableThatCannotBeRightIsRefusedWithItsReasonAndTheTableKept) {
    struct Case {
        const char *what;
        std::vector<Descriptor> descriptors;
        const char *reason;
    };
    const Case cases[] = {
        {"negative address", {{0x10, 1, 0}, {0x10, 2, 0xFFFFFF6A}, {0x10, 0xAA, 5000}}, "track 2 starts at a negative"},
        {"going backwards", {{0x10, 1, 0}, {0x10, 2, 3000}, {0x10, 3, 2000}, {0x10, 0xAA, 5000}}, "track 3 starts before track 2"},
        {"lead-out first", {{0x10, 1, 0}, {0x10, 2, 3000}, {0x10, 0xAA, 2999}}, "the lead-out starts before track 2"},
        {"beyond 100 minutes", {{0x10, 1, 0}, {0x10, 0xAA, 0x7FFFFFFF}}, "the lead-out starts beyond 100 minutes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CdromToc *toc = marked_table();
        ASSERT_NE(toc, nullptr);
        answer_with(toc_answer(1, std::uint8_t(c.descriptors.size() - 1), c.descriptors));
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(read_toc(), nullptr);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(printed, "") << "the caller prints \"fail to get cdrom_data\"";
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(toc->track_count, -7) << "a refused table replaces nothing";
        answer_with(audio_disc(1));
    }
}

TEST_F(TableOfContents, SessionInformationIsKeptAndAUnitWithoutItIsSingleSession) {
    // An Enhanced CD: audio tracks 1-2 in session 1, data track 3 in session 2.
    answer_with(toc_answer(1, 3, {{0x10, 1, 0}, {0x10, 2, 9000}, {0x14, 3, 31400}, {0x14, 0xAA, 40000}}));
    sessions = {0x00, 0x0A, 0x01, 0x02, 0x00, 0x14, 0x03, 0x00, 0x00, 0x00, 0x7A, 0xA8};
    CdromToc *toc = read_toc();
    ASSERT_NE(toc, nullptr);
    EXPECT_EQ(toc->last_session, 2);
    EXPECT_EQ(toc->last_session_first.is_audio, 0);
    EXPECT_EQ(toc->last_session_first.start_lba, 31400);

    // A first track of the last session beyond the lead-out is not believed.
    put_be32(&sessions[8], 50000);
    toc = read_toc();
    ASSERT_NE(toc, nullptr);
    EXPECT_EQ(toc->last_session, 1);

    sessions.clear();  // the unit rejects format 1
    toc = read_toc();
    ASSERT_NE(toc, nullptr);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(toc->last_session, 1);
    EXPECT_EQ(toc->last_session_first.start_lba, 0);
    EXPECT_EQ(toc->last_session_first.is_audio, 1);
}

// ---- The parse on its own ----

TEST(TocParse, LastTrackAbove100IsCutAndNothingIsWrittenPastTheTable) {
    struct Guarded {
        CdromToc toc;
        std::int32_t after[8];
    } guarded;
    fill_with_marker(&guarded.toc);
    for (auto &word : guarded.after) word = -7;
    std::vector<Descriptor> descriptors;
    for (int n = 1; n <= 121; ++n) descriptors.push_back({0x10, std::uint8_t(n), 100u * n});
    auto answer = toc_answer(1, 120, descriptors);

    ASSERT_TRUE(parse_cdrom_toc(answer.data(), answer.size(), &guarded.toc));
    EXPECT_EQ(guarded.toc.track_count, 100);
    EXPECT_EQ(guarded.toc.entries[100].start_lba, 10100);
    for (auto word : guarded.after) EXPECT_EQ(word, -7);
}

TEST(TocParse, NeverReadsPastTheBytesTheDriveReturned) {
    // The header claims twelve tracks and a long answer, but only two descriptors arrived. On the
    // heap, so a read past them is caught by AddressSanitizer as well.
    auto full = audio_disc(12);
    put_be16(&full[0], 0x07FE);
    const std::size_t returned = 4 + 2 * 8;
    auto bytes = std::make_unique<std::uint8_t[]>(returned);
    std::memcpy(bytes.get(), full.data(), returned);
    CdromToc toc;
    fill_with_marker(&toc);

    ASSERT_TRUE(parse_cdrom_toc(bytes.get(), returned, &toc));
    EXPECT_EQ(toc.track_count, 1);
    EXPECT_EQ(toc.entries[1].start_lba, 1150);
    EXPECT_EQ(toc.entries[2].start_lba, -7);

    // A data length shorter than the bytes present bounds the parse too.
    put_be16(&full[0], 2 + 8 * 3);
    ASSERT_TRUE(parse_cdrom_toc(full.data(), full.size(), &toc));
    EXPECT_EQ(toc.track_count, 2);
    EXPECT_FALSE(parse_cdrom_toc(full.data(), 3, &toc));
}

}  // namespace
