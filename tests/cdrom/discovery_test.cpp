// Unit discovery against the in-process fake library.
#include <map>
#include <tuple>

#include "cdrom/discovery.h"
#include "tests/cdrom/cdrom_test_support.h"

namespace {

using cdrom_test::cdb_of;
using cdrom_test::printed_by;

struct Unit {
    std::uint8_t type_byte = 0x05;      // INQUIRY data byte 0
    std::uint8_t version_byte = 0x02;   // INQUIRY data byte 2 (ANSI version in bits 0-2)
    std::uint8_t status = SS_COMP;
    std::uint8_t targ_stat = 0;
    bool answered_at_once = false;      // submit returns the status, no completion signal
    bool returns_no_data = false;       // completes SS_COMP without transferring a byte
};

using Address = std::tuple<int, int, int>;  // adapter, target, lun

class Discovery : public cdrom_test::FakeLibraryTest {
protected:
    // Answers every INQUIRY from `units`; anyone else is absent (SS_NO_DEVICE at once).
    void serve(std::map<Address, Unit> units) {
        fake.on_exec = [units = std::move(units)](SRB_ExecSCSICmd &srb) {
            auto found = units.find({srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun});
            if (found == units.end()) {
                srb.SRB_Status = SS_NO_DEVICE;
                return std::uint32_t{SS_NO_DEVICE};
            }
            const Unit &unit = found->second;
            if (!unit.returns_no_data) {
                std::memset(srb.SRB_BufPointer, 0, 36);
                srb.SRB_BufPointer[0] = unit.type_byte;
                srb.SRB_BufPointer[2] = unit.version_byte;
            }
            if (unit.answered_at_once) {
                srb.SRB_TargStat = unit.targ_stat;
                srb.SRB_Status = unit.status;
                return std::uint32_t{unit.status};
            }
            return FakePassThru::complete(srb, unit.status, unit.targ_stat);
        };
    }
    // Units at target 0.., LUN 0 of adapter 0.
    void serve_units(int how_many) {
        std::map<Address, Unit> units;
        for (int i = 0; i < how_many; ++i) units[{0, i < 7 ? i : i + 1, 0}] = Unit{};
        serve(units);
    }
    CdromDeviceList *discover() {
        CdromDeviceList *list = nullptr;
        printed = printed_by([&] { list = get_cdrom_device(); });
        return list;
    }
    // Where each exec request went, in order.
    std::vector<Address> asked() const {
        std::vector<Address> out;
        for (auto &r : fake.exec_requests()) out.emplace_back(r.exec.SRB_HaId, r.exec.SRB_Target, r.exec.SRB_Lun);
        return out;
    }

    std::string printed;
};

void expect_unit(const CdromDevice &d, int ha, int target, int lun, int ignore) {
    EXPECT_EQ(std::tie(d.ha_id, d.target, d.lun, d.ignore_target_status), std::tie(ha, target, lun, ignore))
        << "unit " << ha << "/" << target << "/" << lun;
}

TEST_F(Discovery, WalksAdaptersTargetsAndLunsInOrderAndKeepsOnlyCdromUnits) {
    fake.support_word = 0x00FF0102;  // status 1, two adapters; bits 16-31 mean nothing
    serve({
        {{1, 0, 0}, Unit{}},                                               // listed after adapter 0's
        {{0, 2, 0}, Unit{}},                                               // ANSI 2, good status: 0
        {{0, 2, 1}, Unit{.returns_no_data = true}},                        // empty answer: not a CD-ROM
        {{0, 2, 3}, Unit{.type_byte = 0x25, .version_byte = 0x00}},       // qualifier 1; no ANSI version: 1
        {{0, 3, 0}, Unit{.type_byte = 0x00}},                              // a disk
        {{0, 4, 0}, Unit{.type_byte = 0x7F}},
        {{0, 5, 0}, Unit{.status = SS_ERR}},                               // failed INQUIRY
        {{0, 6, 0}, Unit{.status = SS_ERR, .answered_at_once = true}},
        {{0, 8, 0}, Unit{.answered_at_once = true}},                       // judged without a wait
        {{0, 9, 7}, Unit{.version_byte = 0x0A, .targ_stat = STATUS_CHKCOND}},  // ANSI 2, bad status: 1
        {{0, 15, 7}, Unit{.version_byte = 0x03}},
    });
    CdromDeviceList *list = discover();

    ASSERT_NE(list, nullptr);
    EXPECT_EQ(printed, "");
    ASSERT_EQ(list->count, 6);
    expect_unit(list->slots[0], 0, 2, 0, 0);
    expect_unit(list->slots[1], 0, 2, 3, 1);
    expect_unit(list->slots[2], 0, 8, 0, 0);
    expect_unit(list->slots[3], 0, 9, 7, 1);
    expect_unit(list->slots[4], 0, 15, 7, 0);
    expect_unit(list->slots[5], 1, 0, 0, 0);

    // Every LUN of every target but the adapter's own id 7, adapter by adapter, one at a time.
    std::vector<Address> expected;
    for (int ha = 0; ha < 2; ++ha)
        for (int target = 0; target < 16; ++target)
            for (int lun = 0; target != 7 && lun < 8; ++lun) expected.emplace_back(ha, target, lun);
    EXPECT_EQ(asked(), expected);
    EXPECT_EQ(fake.support_info_calls(), 1);
}

TEST_F(Discovery, InquiryRequestsAreFilledAsTheDriveExpects) {
    serve({});
    ASSERT_NE(discover(), nullptr);
    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 1u + 120u);
    const SRB_HAInquiry &ha = requests[0].ha_inquiry;
    EXPECT_EQ(requests[0].bytes.size(), 60u);
    EXPECT_EQ(std::tie(ha.SRB_Cmd, ha.SRB_HaId, ha.SRB_Flags), std::make_tuple(SC_HA_INQUIRY, 0, 0));

    const std::vector<std::uint8_t> inquiry_cdb = {0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 1; i < requests.size(); ++i) {
        const SRB_ExecSCSICmd &srb = requests[i].exec;
        SCOPED_TRACE(i);
        cdrom_test::expect_exec_fields(srb, {.flags = 0x48, .data_length = 128, .sense_length = 16, .cdb_length = 6});
        EXPECT_EQ(cdb_of(requests[i]), inquiry_cdb);
    }
}

TEST_F(Discovery, AdapterThatDoesNotAnswerIsSkippedSilentlyAndOwnIdAbove15SkipsNoTarget) {
    fake.support_word = 0x0103;
    fake.on_ha_inquiry = [](SRB_HAInquiry &ha) {
        if (ha.SRB_HaId == 1) return std::uint32_t{SS_INVALID_HA};
        ha.HA_SCSI_ID = ha.SRB_HaId == 2 ? 16 : 7;
        return std::uint32_t{SS_COMP};
    };
    serve({{{2, 7, 0}, Unit{}}});
    CdromDeviceList *list = discover();

    ASSERT_NE(list, nullptr);
    EXPECT_EQ(printed, "");
    ASSERT_EQ(list->count, 1);
    expect_unit(list->slots[0], 2, 7, 0, 0);
    int per_adapter[3] = {};
    for (auto [ha, target, lun] : asked()) ++per_adapter[ha];
    EXPECT_EQ(per_adapter[0], 120);
    EXPECT_EQ(per_adapter[1], 0);
    EXPECT_EQ(per_adapter[2], 128);
}

TEST_F(Discovery, SevenUnitsFitAnEighthFailsTheWholeDiscovery) {
    serve_units(7);
    CdromDeviceList *list = discover();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 7);
    EXPECT_EQ(printed, "");

    serve_units(8);
    EXPECT_EQ(discover(), nullptr);
    EXPECT_EQ(printed, "over max device\n");
    EXPECT_EQ(list->count, 8);
    expect_unit(list->slots[7], 0, 8, 0, 0);
    EXPECT_EQ(asked().back(), Address(0, 8, 0)) << "nothing is asked after the eighth unit";
}

TEST_F(Discovery, NoAdapterSupportFailsBeforeTheListIsTouched) {
    serve_units(1);
    CdromDeviceList *list = discover();
    ASSERT_NE(list, nullptr);
    for (std::uint32_t word : {0x0001u, 0xE801u, 0x0201u}) {
        fake.support_word = word;
        EXPECT_EQ(discover(), nullptr) << std::hex << word;
        EXPECT_EQ(printed, "this pc does'nt support adapters\n");
        EXPECT_EQ(list->count, 1);
    }
    fake.support_word = 0x0100;  // usable, but no adapters
    EXPECT_EQ(discover(), list);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(fake.exec_requests().size(), 8u * 15u);  // only the first, successful call asked
}

TEST_F(Discovery, LibraryThatCannotBeBoundPrintsItsOwnMessage) {
    fake.remove_send_command();
    EXPECT_EQ(discover(), nullptr);
    EXPECT_EQ(printed, "fail to get the process lpSendASPI32Command\n");
    fake.fail_load();
    EXPECT_EQ(discover(), nullptr);
    EXPECT_EQ(printed, "fail to load the wnaspi32.dll\n");
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(Discovery, InquiryThatNeverCompletesEndsTheWholeDiscovery) {
    serve_units(1);
    auto answer = fake.on_exec;
    cdrom_test::never_complete(fake);
    auto hang = fake.on_exec;
    fake.on_exec = [&](SRB_ExecSCSICmd &srb) { return srb.SRB_Target == 3 ? hang(srb) : answer(srb); };

    EXPECT_EQ(discover(), nullptr);
    EXPECT_EQ(printed, "wait time out\n");
    auto requests = fake.requests();
    ASSERT_EQ(requests.back().command, SC_ABORT_SRB);
    EXPECT_EQ(requests.back().abort.SRB_HaId, 0);
    const void *aborted = requests.back().abort.SRB_ToAbort;
    EXPECT_EQ(aborted, requests[requests.size() - 2].address);
    EXPECT_EQ(asked().back(), Address(0, 3, 0)) << "nothing is asked after the time-out";
}

}  // namespace
