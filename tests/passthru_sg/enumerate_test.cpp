// Finding the units: /dev nodes matched through sysfs or the kernel, adapters per SCSI host and
// channel, ASPI targets and LUNs, the adapter's own id, what the user is told on standard error.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "passthru/sg/enumerate.h"
#include "passthru/sg/sg_backend.h"
#include "passthru/real_drive/numbering.h"
#include "tests/passthru_sg/fake_system.h"
#include "tests/real_drive/seam.h"

namespace {

using namespace passthru::sg;
using sg_test::cd_unit;
using sg_test::CdUnit;
using real_drive_test::buses;
using real_drive_test::expect_adapter;
using real_drive_test::OpenBackend;
using sg_test::FakeMachine;

std::vector<SgAdapter> enumerate(FakeMachine &machine) {
    (void)machine;
    return enumerate_adapters(FakeMachine::system());
}

TEST(SgEnumeration, NoNodesNoAdaptersAndNothingSaid) {
    FakeMachine machine;
    machine.add_other_sg(0, {0, 0, 0, 0});  // the system disk
    EXPECT_TRUE(enumerate(machine).empty());
    EXPECT_TRUE(machine.reports.empty());
    EXPECT_TRUE(machine.opens.empty()) << "a disk's sg node must not even be opened";
}

TEST(SgEnumeration, OneUnitSeenThroughSrAndSgIsListedOnceThroughSg) {
    FakeMachine machine;
    machine.add(cd_unit({2, 0, 0, 0}, 0, 1));
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 1u);
    ASSERT_EQ(adapters[0].units.size(), 1u);
    const Unit &u = adapters[0].units[0];
    EXPECT_EQ(u.node, "/dev/sg1") << "a hung command on an sr node would hold the process at its exit";
    EXPECT_EQ(u.vendor, "HL-DT-ST");
    EXPECT_EQ(u.model, "DVDRAM GH24NSD1");
    EXPECT_EQ(u.device_type, 5);
    EXPECT_EQ(u.max_transfer, 512u * 1024);
    EXPECT_EQ(machine.opens, std::vector<std::string>{"/dev/sg1"});
    close_adapters(FakeMachine::system(), adapters);
    EXPECT_TRUE(machine.open_fds.empty());
}

TEST(SgEnumeration, UnitWhoseSgNodeIsRefusedIsReachedThroughItsSrNode) {
    FakeMachine machine;
    machine.add(cd_unit({1, 0, 0, 0}, 0, 0));
    machine.open_errors["/dev/sg0"] = EACCES;
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].units[0].node, "/dev/sr0");
    EXPECT_TRUE(machine.reports.empty()) << "no unit was left out";
    close_adapters(FakeMachine::system(), adapters);
}

TEST(SgEnumeration, UnitsNobodyMayOpenAreLeftOutWithOneLineSayingWhatToDo) {
    FakeMachine machine;
    machine.add(cd_unit({1, 0, 0, 0}, 0, 0));
    machine.add(cd_unit({3, 0, 0, 0}, 1));
    machine.add(cd_unit({4, 0, 0, 0}, 2, 2));
    machine.node_group = "optical";
    for (const char *node : {"/dev/sr0", "/dev/sg0", "/dev/sr2", "/dev/sg2"}) machine.open_errors[node] = EACCES;
    machine.open_errors["/dev/sr1"] = EBUSY;
    auto adapters = enumerate(machine);
    EXPECT_TRUE(adapters.empty());
    EXPECT_EQ(machine.reports,
              (std::vector<std::string>{"cddaplay: cannot open /dev/sr1: Device or resource busy",
                                        "cddaplay: no permission to open /dev/sr0, /dev/sr2: ask for the user to be "
                                        "added to group optical, then log in again"}));
}

TEST(SgEnumeration, NodesOpenForWritingWherePermittedElseForReadingOnly) {
    FakeMachine machine;
    machine.add(cd_unit({1, 0, 0, 0}, 0));
    machine.add(cd_unit({2, 0, 0, 0}, 1));
    machine.write_errors["/dev/sr1"] = EACCES;  // the kernel's answer to O_RDWR on a node mode 0644
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_TRUE(adapters[0].units[0].writable);
    EXPECT_FALSE(adapters[1].units[0].writable);
    EXPECT_EQ(machine.opens_writable, (std::vector<bool>{true, false}));
    EXPECT_TRUE(machine.reports.empty());
    close_adapters(FakeMachine::system(), adapters);
}

TEST(SgEnumeration, LargestTransferIsWhatSgIoTakesNotTheHardwareLimit) {
    FakeMachine machine;
    CdUnit measured = cd_unit({2, 0, 0, 0}, 0);  // as a 6.1 kernel reported a loopback CD-ROM
    measured.max_hw_kib = 32767;
    measured.max_kib = 1280;
    measured.max_segments = 256;  // 256 pages: 1 MiB, the first size the ioctl refused above
    machine.add(measured);
    CdUnit few_segments = cd_unit({3, 0, 0, 0}, 1, std::nullopt, &CdUnit::max_kib, 120);
    machine.add(few_segments);
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].units[0].max_transfer, 1024u * 1024);
    EXPECT_EQ(adapters[1].units[0].max_transfer, 120u * 1024);
    close_adapters(FakeMachine::system(), adapters);
}

TEST(SgEnumeration, AdaptersFollowHostThenChannelAndUnitsKeepTheirKernelTargetAndLun) {
    FakeMachine machine;
    machine.add(cd_unit({5, 0, 0, 0}, 0));
    machine.add(cd_unit({1, 1, 3, 0}, 1));
    machine.add(cd_unit({1, 0, 0, 2}, 2, 4));
    machine.add(cd_unit({1, 0, 0, 1}, std::nullopt, 3));  // a card reader's second LUN, sg only
    const auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 3u);
    EXPECT_EQ(buses(adapters, &SgAdapter::host, &SgAdapter::channel), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {5, 0}}));
    ASSERT_EQ(adapters[0].units.size(), 2u);
    EXPECT_EQ(adapters[0].units[0].node, "/dev/sg3");
    EXPECT_EQ(std::pair(adapters[0].units[0].target, adapters[0].units[0].lun), std::pair(0, 1));
    EXPECT_EQ(adapters[0].units[1].node, "/dev/sg4");
    EXPECT_EQ(std::pair(adapters[0].units[1].target, adapters[0].units[1].lun), std::pair(0, 2));
    EXPECT_EQ(adapters[1].units[0].target, 3);
    for (const auto &a : adapters) EXPECT_EQ(a.own_scsi_id, 7);
}

TEST(SgEnumeration, EveryTargetTakenLeavesNoOwnIdToSkip) {
    FakeMachine machine;
    for (int t = 0; t < 16; ++t) machine.add(cd_unit({0, 0, t, 0}, t));
    const auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].units.size(), 16u);
    EXPECT_EQ(adapters[0].own_scsi_id, passthru::real_drive::kNoFreeTarget);
}

TEST(SgEnumeration, SrNodeSysfsDoesNotDescribeIsAddressedByTheKernel) {
    FakeMachine machine;
    machine.add(cd_unit({4, 0, 1, 0}, 0, std::nullopt, &CdUnit::in_sysfs, false));
    machine.add(cd_unit({6, 0, 0, 0}, 1, std::nullopt, &CdUnit::in_sysfs, false));
    machine.idlun.erase("/dev/sr1");  // nor does the kernel: left out, with a word why
    auto adapters = enumerate(machine);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].host, 4);
    EXPECT_EQ(adapters[0].units[0].target, 1);
    EXPECT_EQ(adapters[0].units[0].max_transfer, kDefaultMaxTransfer);
    EXPECT_TRUE(adapters[0].units[0].vendor.empty());
    ASSERT_EQ(machine.reports.size(), 1u);
    EXPECT_NE(machine.reports[0].find("/dev/sr1"), std::string::npos);
    close_adapters(FakeMachine::system(), adapters);
    EXPECT_TRUE(machine.open_fds.empty()) << "the node left out was closed too";
}

TEST(SgEnumeration, KernelAddressIsTheLastPathComponent) {
    KernelAddress a;
    ASSERT_TRUE(parse_kernel_address("../../devices/pci0000:00/0000:00:1f.2/ata3/host2/target2:0:1/2:0:1:3", a));
    EXPECT_EQ(a, (KernelAddress{2, 0, 1, 3}));
    ASSERT_TRUE(parse_kernel_address("10:2:300:70000", a));
    EXPECT_EQ(a, (KernelAddress{10, 2, 300, 70000}));
    for (const char *bad : {"", "host2", "target2:0:1", "2:0:1", "2:0:1:x", "2:0:1:3:4", "2::1:3", "-1:0:0:0", "2:0:1:"})
        EXPECT_FALSE(parse_kernel_address(bad, a)) << bad;
}

// ---- The back end's view: adapters, identity, device types, the describing lines ----

TEST(SgBackend, AdaptersIdentifyTheirBusAndTheSmallestTransferOfTheirUnits) {
    FakeMachine machine;
    machine.add(cd_unit({2, 0, 0, 0}, 0, std::nullopt, &CdUnit::max_hw_kib, 120));
    machine.add(cd_unit({2, 0, 1, 0}, 1, std::nullopt, &CdUnit::max_hw_kib, 512));
    machine.add(cd_unit({3, 1, 0, 0}, 2, std::nullopt, &CdUnit::max_hw_kib, 0));
    OpenBackend open;
    const passthru::Backend &b = sg_backend();
    ASSERT_EQ(b.adapter_count(), 2);
    expect_adapter(0, "sg scsi2:0", 120u * 1024);
    expect_adapter(1, "sg scsi3:1", kDefaultMaxTransfer);
    EXPECT_EQ(b.device_type(0, 1, 0), 5);
    EXPECT_EQ(b.device_type(0, 2, 0), passthru::kNoDevice);
    EXPECT_EQ(b.device_type(0, 0, 1), passthru::kNoDevice);
    EXPECT_EQ(b.device_type(2, 0, 0), passthru::kNoDevice);
}

TEST(SgBackend, ClosingReleasesEveryNode) {
    FakeMachine machine;
    machine.add(cd_unit({2, 0, 0, 0}, 0, 0));
    machine.add(cd_unit({2, 0, 1, 0}, 1));
    {
        OpenBackend open;
        EXPECT_EQ(machine.open_fds.size(), 2u);
    }
    EXPECT_TRUE(machine.open_fds.empty());
    EXPECT_EQ(sg_backend().adapter_count(), 0);
}

TEST(SgBackend, DescribesEachUnitOnRequestNumberedAfterTheVirtualAdapters) {
    FakeMachine machine;
    machine.add(cd_unit({2, 0, 0, 0}, 0, 0));
    CdUnit writer = cd_unit({4, 0, 0, 1}, std::nullopt, 5);
    writer.vendor = "TSSTcorp";
    writer.model = "CDDVDW SE-208GB";
    machine.add(writer);
    machine.write_errors["/dev/sg5"] = EACCES;  // a member of the group with read permission only
    real_drive_test::set_virtual_adapters(1);
    setenv("CDDAPLAY_DESCRIBE", "1", 1);
    {
        OpenBackend open;
        EXPECT_EQ(machine.reports,
                  (std::vector<std::string>{
                      "cddaplay: adapter 1 target 0 lun 0: /dev/sg0 HL-DT-ST DVDRAM GH24NSD1 (scsi 2:0:0:0), open for "
                      "reading and writing",
                      "cddaplay: adapter 2 target 0 lun 1: /dev/sg5 TSSTcorp CDDVDW SE-208GB (scsi 4:0:0:1), open for "
                      "reading only (the drive takes no reading speed)"}));
    }
    machine.reports.clear();
    setenv("CDDAPLAY_DESCRIBE", "0", 1);
    { OpenBackend open; }
    EXPECT_TRUE(machine.reports.empty());
    unsetenv("CDDAPLAY_DESCRIBE");
    real_drive_test::set_virtual_adapters(0);
}

}  // namespace
