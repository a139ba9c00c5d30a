// Finding the drives: CD-ROM drive letters and \\.\CdRomN matched by SCSI address, adapters per
// port and path, ASPI targets and LUNs, limits from the adapter descriptor, what the user is told.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "passthru/spti/enumerate.h"
#include "passthru/spti/spti_backend.h"
#include "tests/passthru_spti/fake_system.h"
#include "tests/passthru_spti/test_backends.h"

namespace {

using namespace passthru::spti;
using spti_test::drive;
using spti_test::FakeDrive;
using spti_test::FakeMachine;

std::vector<SptiAdapter> enumerate(FakeMachine &) { return enumerate_adapters(FakeMachine::system()); }

// The spti back end opened over the current machine for one test, closed at its end.
struct OpenBackend {
    OpenBackend() {
        use_system(&FakeMachine::system());
        spti_backend().open();
    }
    ~OpenBackend() {
        spti_backend().close();
        use_system(nullptr);
    }
};

TEST(SptiEnumeration, NoCdDriveNoAdaptersAndNothingSaid) {
    FakeMachine machine;
    machine.letters['D'] = DRIVE_REMOVABLE;  // a card reader
    machine.letters['Z'] = DRIVE_REMOTE;
    EXPECT_TRUE(enumerate(machine).empty());
    EXPECT_TRUE(machine.reports.empty()) << "absent \\\\.\\CdRomN names are no news";
    EXPECT_EQ(machine.open_handles(), 0);
}

TEST(SptiEnumeration, EachDriveOnceUnderItsFirstNameOnAdaptersSortedByPortAndPath) {
    FakeMachine machine;
    machine.add(drive('E', 1, {1, 0, 0, 0}));
    machine.add(drive('D', 0, {0, 1, 3, 0}));
    machine.add(drive(std::nullopt, 2, {0, 0, 1, 2}));  // no letter: reached through \\.\CdRom2 only
    machine.add(drive('F', std::nullopt, {0, 1, 4, 0}));
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 3u);
    EXPECT_EQ(std::pair(adapters[0].port, adapters[0].path), std::pair(0, 0));
    EXPECT_EQ(std::pair(adapters[1].port, adapters[1].path), std::pair(0, 1));
    EXPECT_EQ(std::pair(adapters[2].port, adapters[2].path), std::pair(1, 0));
    ASSERT_EQ(adapters[0].units.size(), 1u);
    EXPECT_EQ(adapters[0].units[0].name, "\\\\.\\CdRom2");
    EXPECT_EQ(std::pair(adapters[0].units[0].target, adapters[0].units[0].lun), std::pair(1, 2));
    ASSERT_EQ(adapters[1].units.size(), 2u);
    EXPECT_EQ(adapters[1].units[0].name, "\\\\.\\D:");
    EXPECT_EQ(adapters[1].units[0].target, 3);
    EXPECT_EQ(adapters[1].units[1].name, "\\\\.\\F:");
    EXPECT_EQ(adapters[2].units[0].name, "\\\\.\\E:");
    EXPECT_EQ(adapters[2].units[0].vendor, "HL-DT-ST");
    EXPECT_EQ(adapters[2].units[0].model, "DVDRAM GH24NSD1");
    EXPECT_EQ(machine.read_write_opens, (std::vector<std::string>{"\\\\.\\D:", "\\\\.\\E:", "\\\\.\\F:", "\\\\.\\CdRom2"}))
        << "a drive is opened for commands once, whatever its names";
    EXPECT_TRUE(machine.reports.empty());
    close_adapters(FakeMachine::system(), adapters);
    EXPECT_EQ(machine.open_handles(), 0) << "every query handle, device handle and event is closed";
}

TEST(SptiEnumeration, DriveThatCannotBeOpenedOrAddressedIsLeftOutWithOneLineSayingWhyAndWhatToDo) {
    FakeMachine machine;
    FakeDrive denied = drive('D', 0, {0, 0, 0, 0});
    denied.open_error = ERROR_ACCESS_DENIED;  // an unelevated user; both names refuse
    machine.add(denied);
    FakeDrive held = drive('E', 1, {0, 0, 1, 0});
    held.open_error = ERROR_SHARING_VIOLATION;
    machine.add(held);
    FakeDrive odd = drive('G', std::nullopt, {2, 0, 0, 0});
    odd.open_error = ERROR_GEN_FAILURE;
    machine.add(odd);
    machine.add(drive(std::nullopt, 3, {3, 0, 0, 0}));
    machine.query_open_errors["\\\\.\\CdRom3"] = ERROR_ACCESS_DENIED;  // not even for queries
    FakeDrive mute = drive('H', std::nullopt, {});
    mute.address.reset();
    machine.add(mute);
    EXPECT_TRUE(enumerate(machine).empty());
    EXPECT_EQ(machine.reports,
              (std::vector<std::string>{
                  "cddaplay: \\\\.\\H: does not tell its SCSI address (Windows error 50); left out",
                  "cddaplay: cannot open \\\\.\\CdRom3: access denied (start cddaplay as administrator, or close the "
                  "program that has the drive to itself)",
                  "cddaplay: cannot open \\\\.\\D: for reading and writing: access denied (start cddaplay as "
                  "administrator, or close the program that has the drive to itself)",
                  "cddaplay: cannot open \\\\.\\E: for reading and writing: another program has the drive to itself "
                  "(close it, then start cddaplay again)",
                  "cddaplay: cannot open \\\\.\\G: for reading and writing: Windows error 31"}));
    EXPECT_EQ(machine.open_handles(), 0);
}

TEST(SptiEnumeration, AddressesOutsideAspiRangesMoveToFreeSlotsAndTheOwnIdIsUnused) {
    FakeMachine machine;
    machine.add(drive('D', std::nullopt, {0, 0, 7, 0}));  // target 7 taken: the own id moves
    machine.add(drive('E', std::nullopt, {0, 0, 15, 0}));
    machine.add(drive('F', std::nullopt, {0, 0, 40, 0}));  // target too high
    machine.add(drive('G', std::nullopt, {0, 0, 0, 9}));   // LUN too high
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 1u);
    const SptiAdapter &a = adapters[0];
    EXPECT_EQ(a.own_scsi_id, 14) << "the highest target no drive uses";
    std::set<std::pair<int, int>> slots;
    for (const Unit &u : a.units) {
        EXPECT_NE(u.target, a.own_scsi_id) << u.name;
        slots.insert({u.target, u.lun});
    }
    EXPECT_EQ(slots, (std::set<std::pair<int, int>>{{0, 0}, {1, 0}, {7, 0}, {15, 0}}));
    close_adapters(FakeMachine::system(), adapters);
}

TEST(SptiEnumeration, LimitsComeFromTheAdapterDescriptorOrASafeFallback) {
    struct Row {
        const char *what;
        std::vector<std::uint8_t> descriptor;
        std::uint32_t max_transfer;
        std::uint32_t mask;
    } rows[] = {
        {"plain", spti_test::adapter_descriptor(0x20000, 0, 1), 0x20000, 1},
        {"physical pages bound it", spti_test::adapter_descriptor(0x100000, 17, 3), 16 * 4096, 3},
        {"Wine's page size for a mask", spti_test::adapter_descriptor(0x8000, 0, 0x1000), 0x8000, 0x1FFF},
        {"no answer", {}, kFallbackMaxTransfer, kFallbackAlignmentMask},
        {"cut short", std::vector<std::uint8_t>(10, 0xFF), kFallbackMaxTransfer, kFallbackAlignmentMask},
        {"no transfer length, absurd mask", spti_test::adapter_descriptor(0, 0, 0x80000), kFallbackMaxTransfer,
         kFallbackAlignmentMask},
    };
    for (const Row &row : rows) {
        const TransferLimits limits = adapter_limits(row.descriptor.data(), row.descriptor.size());
        EXPECT_EQ(limits.max_transfer, row.max_transfer) << row.what;
        EXPECT_EQ(limits.alignment_mask, row.mask) << row.what;
    }

    // Device names stay within what the system returned.
    std::string vendor, model;
    std::vector<std::uint8_t> names(40, 0);
    names[12] = 36;   // vendor at 36, with no terminator before the end
    names[16] = 200;  // model beyond the end
    names[36] = 'A';
    names[37] = 'B';
    names[38] = 'C';
    names[39] = ' ';
    device_names(names.data(), names.size(), vendor, model);
    EXPECT_EQ(vendor, "ABC");
    EXPECT_EQ(model, "");
}

// ---- The back end's view: adapters, identity, device types, the describing lines ----

TEST(SptiBackend, AdaptersIdentifyTheirBusWithTheSmallestTransferAndWidestMaskOfTheirDrives) {
    FakeMachine machine;
    FakeDrive slow = drive('D', 0, {2, 0, 0, 0});
    slow.adapter_descriptor = spti_test::adapter_descriptor(0x10000, 0, 1);
    machine.add(slow);
    FakeDrive picky = drive('E', 1, {2, 0, 1, 0});
    picky.adapter_descriptor = spti_test::adapter_descriptor(0x40000, 0, 7);
    machine.add(picky);
    FakeDrive unknown = drive('F', 2, {3, 1, 0, 0});
    unknown.adapter_descriptor.clear();
    machine.add(unknown);
    OpenBackend open;
    const passthru::Backend &b = spti_backend();
    ASSERT_EQ(b.adapter_count(), 2);
    const auto first = b.adapter_identity(0);
    EXPECT_STREQ(first.name, "spti port2:0");
    EXPECT_EQ(first.own_scsi_id, 7);
    EXPECT_EQ(first.max_transfer, 0x10000u);
    EXPECT_EQ(first.alignment_mask, 7);
    EXPECT_STREQ(b.adapter_identity(1).name, "spti port3:1");
    EXPECT_EQ(b.adapter_identity(1).max_transfer, kFallbackMaxTransfer);
    EXPECT_EQ(b.adapter_identity(1).alignment_mask, kFallbackAlignmentMask);
    EXPECT_EQ(b.device_type(0, 1, 0), 5);
    EXPECT_EQ(b.device_type(0, 2, 0), passthru::kNoDevice);
    EXPECT_EQ(b.device_type(2, 0, 0), passthru::kNoDevice);
}

TEST(SptiBackend, DescribesEachDriveOnRequestNumberedAfterTheVirtualAdapters) {
    FakeMachine machine;
    machine.add(drive('D', 0, {1, 0, 0, 0}));
    FakeDrive writer = drive(std::nullopt, 1, {2, 0, 0, 1});
    writer.vendor = "TSSTcorp";
    writer.model = "CDDVDW SE-208GB";
    machine.add(writer);
    spti_test::set_virtual_adapters(1);
    _putenv_s("CDDAPLAY_DESCRIBE", "1");
    {
        OpenBackend open;
        EXPECT_EQ(machine.reports,
                  (std::vector<std::string>{
                      "cddaplay: adapter 1 target 0 lun 0: \\\\.\\D: HL-DT-ST DVDRAM GH24NSD1 (port 1 path 0 target 0 lun 0)",
                      "cddaplay: adapter 2 target 0 lun 1: \\\\.\\CdRom1 TSSTcorp CDDVDW SE-208GB (port 2 path 0 target 0 lun 1)"}));
    }
    machine.reports.clear();
    _putenv_s("CDDAPLAY_DESCRIBE", "0");
    { OpenBackend open; }
    EXPECT_TRUE(machine.reports.empty());
    EXPECT_EQ(machine.open_handles(), 0);
    _putenv_s("CDDAPLAY_DESCRIBE", "");
    spti_test::set_virtual_adapters(0);
}

}  // namespace
