// Finding the drives: CD-ROM drive letters and \\.\CdRomN matched by SCSI address, adapters per
// port and path, ASPI targets and LUNs, limits from the adapter descriptor, what the user is told.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "passthru/spti/enumerate.h"
#include "passthru/spti/spti_backend.h"
#include "tests/passthru_spti/fake_system.h"
#include "tests/real_drive/seam.h"

namespace {

using namespace passthru::spti;
using spti_test::drive;
using spti_test::FakeDrive;
using real_drive_test::buses;
using real_drive_test::expect_adapter;
using real_drive_test::OpenBackend;
using spti_test::FakeMachine;

std::vector<SptiAdapter> enumerate(FakeMachine &) { return enumerate_adapters(FakeMachine::system()); }

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
    EXPECT_EQ(buses(adapters, &SptiAdapter::port, &SptiAdapter::path), (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}}));
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

TEST(SptiEnumeration, EveryDriveIsAUnitWhateverItsOpenSaysAndEachProblemIsSaidOnce) {
    FakeMachine machine;
    FakeDrive denied = drive('D', 0, {0, 0, 0, 0});
    denied.open_error = ERROR_ACCESS_DENIED;  // writing denied by policy: reading still opens
    machine.add(denied);
    FakeDrive held = drive('E', 1, {0, 0, 1, 0});
    held.open_error = ERROR_SHARING_VIOLATION;
    machine.add(held);
    FakeDrive locked = drive('F', 4, {0, 0, 2, 0});
    locked.open_error = locked.read_only_error = ERROR_ACCESS_DENIED;
    machine.add(locked);
    FakeDrive odd = drive('G', std::nullopt, {2, 0, 0, 0});
    odd.open_error = ERROR_GEN_FAILURE;
    machine.add(odd);
    machine.add(drive(std::nullopt, 3, {3, 0, 0, 0}));
    machine.query_open_errors["\\\\.\\CdRom3"] = ERROR_ACCESS_DENIED;  // not even for queries: unknowable
    FakeDrive mute = drive('H', std::nullopt, {});
    mute.address.reset();
    machine.add(mute);
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 3u) << "port 0, port 2, and the made-up adapter for H:";
    ASSERT_EQ(adapters[0].units.size(), 3u);
    EXPECT_TRUE(adapters[0].units[0].read_only);
    EXPECT_NE(adapters[0].units[0].device, nullptr);
    EXPECT_EQ(adapters[0].units[1].device, nullptr) << "kept, opened again by its commands";
    EXPECT_EQ(adapters[0].units[2].device, nullptr);
    EXPECT_EQ(adapters[1].units[0].name, "\\\\.\\G:");
    EXPECT_EQ(adapters[2].port, kMadeUpPort);
    EXPECT_EQ(adapters[2].units[0].name, "\\\\.\\H:");
    EXPECT_EQ(machine.reports,
              (std::vector<std::string>{
                  "cddaplay: cannot open \\\\.\\CdRom3: access denied (another program may have the drive to itself, or "
                  "Windows allows this account no access to it)",
                  "cddaplay: \\\\.\\D: is open for reading only: Windows denies writing to it (a policy such as \"CD and "
                  "DVD: Deny write access\", or an account without the right); it plays through the CD-ROM driver's "
                  "own requests instead of the SCSI pass-through",
                  "cddaplay: cannot open \\\\.\\E: now: another program has the drive to itself (close it); cddaplay "
                  "tries again at each command",
                  "cddaplay: cannot open \\\\.\\F: now: access denied (another program may have the drive to itself, or "
                  "Windows allows this account no access to it); cddaplay tries again at each command",
                  "cddaplay: cannot open \\\\.\\G: now: Windows error 31; cddaplay tries again at each command"}));
    for (const std::string &line : machine.reports)
        EXPECT_EQ(line.find("administrator"), std::string::npos) << "starting as administrator would not help: " << line;
    close_adapters(FakeMachine::system(), adapters);
    EXPECT_EQ(machine.open_handles(), 0);

    // The library is loaded again in the same run: nothing is said twice.
    machine.reports.clear();
    adapters = enumerate(machine);
    EXPECT_TRUE(machine.reports.empty());
    close_adapters(FakeMachine::system(), adapters);
}

TEST(SptiEnumeration, NamesOfOneDriveMeetThroughTheDeviceNumberWhenOneOfThemTellsNoAddress) {
    FakeMachine machine;
    machine.add(drive('D', 0, {1, 0, 0, 0}));
    machine.address_errors["\\\\.\\D:"] = ERROR_NOT_SUPPORTED;  // a letter that refuses; its \\.\CdRom0 tells
    machine.disk_numbers["\\\\.\\D:"] = 9;  // and, as Wine's letters do, calls itself a disk: not a CD's number
    machine.add(drive('E', 1, {2, 0, 3, 0}));
    machine.address_errors["\\\\.\\CdRom1"] = ERROR_NOT_SUPPORTED;  // as Wine's \\.\CdRomN always does,
    machine.number_errors["\\\\.\\E:"] = ERROR_NOT_SUPPORTED;       // and the letter only says it is \Device\CdRom1
    FakeDrive usb = drive('F', 2, {});
    usb.address.reset();  // USB: no name tells an address
    machine.add(usb);
    FakeDrive bare = drive('G', std::nullopt, {});
    bare.address.reset();  // no address, no number
    bare.device_number.reset();
    machine.add(bare);
    FakeDrive usb7 = drive(std::nullopt, 7, {});
    usb7.address.reset();
    machine.add(usb7);

    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 3u);
    ASSERT_EQ(adapters[0].units.size(), 1u);
    EXPECT_EQ(adapters[0].units[0].name, "\\\\.\\CdRom0") << "commands go to the name that told the address";
    EXPECT_EQ(adapters[0].units[0].device_number, 0);
    ASSERT_EQ(adapters[1].units.size(), 1u);
    EXPECT_EQ(adapters[1].units[0].name, "\\\\.\\E:");
    EXPECT_EQ(std::pair(adapters[1].units[0].target, adapters[1].units[0].device_number), std::pair(3, 1));
    const SptiAdapter &made_up = adapters[2];
    EXPECT_EQ(made_up.port, kMadeUpPort);
    std::vector<std::tuple<std::string, int, int>> places;
    for (const Unit &u : made_up.units) places.emplace_back(u.name, u.target, u.lun);
    EXPECT_EQ(places, (std::vector<std::tuple<std::string, int, int>>{
                          {"\\\\.\\G:", 0, 0}, {"\\\\.\\F:", 2, 0}, {"\\\\.\\CdRom7", 7, 0}}))
        << "the device number is the target; a drive without one takes the first free target";
    EXPECT_EQ(made_up.own_scsi_id, 15);
    EXPECT_EQ(machine.read_write_opens.size(), 5u) << "each drive opened once";
    EXPECT_TRUE(machine.reports.empty()) << "a drive without an address is no news";
    close_adapters(FakeMachine::system(), adapters);
    EXPECT_EQ(machine.open_handles(), 0);
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
    expect_adapter(0, "spti port2:0", 0x10000u);
    expect_adapter(1, "spti port3:1", kFallbackMaxTransfer);
    EXPECT_EQ(b.adapter_identity(0).alignment_mask, 7);
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
    FakeDrive usb = drive('E', 2, {});
    usb.address.reset();
    machine.add(usb);
    real_drive_test::set_virtual_adapters(1);
    _putenv_s("CDDAPLAY_DESCRIBE", "1");
    {
        OpenBackend open;
        EXPECT_EQ(machine.reports,
                  (std::vector<std::string>{
                      "cddaplay: adapter 1 target 0 lun 0: \\\\.\\D: HL-DT-ST DVDRAM GH24NSD1 (port 1 path 0 target 0 lun 0)",
                      "cddaplay: adapter 2 target 0 lun 1: \\\\.\\CdRom1 TSSTcorp CDDVDW SE-208GB (port 2 path 0 target 0 lun 1)",
                      "cddaplay: adapter 3 target 2 lun 0: \\\\.\\E: HL-DT-ST DVDRAM GH24NSD1 (no SCSI address; device number 2)"}));
        EXPECT_STREQ(spti_backend().adapter_identity(2).name, "spti made-up");
    }
    machine.reports.clear();
    { OpenBackend again; }
    EXPECT_TRUE(machine.reports.empty()) << "described once per run, however often the library is loaded";
    machine.reports.clear();
    _putenv_s("CDDAPLAY_DESCRIBE", "0");
    { OpenBackend open; }
    EXPECT_TRUE(machine.reports.empty());
    EXPECT_EQ(machine.open_handles(), 0);
    _putenv_s("CDDAPLAY_DESCRIBE", "");
    real_drive_test::set_virtual_adapters(0);
}

}  // namespace
