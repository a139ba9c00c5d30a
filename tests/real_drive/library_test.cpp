// The ASPI manager over a real-drive back end (sg, spti), in-process, on its made-up machine: what
// a program sees through SendASPI32Command when the drive answers each way. Linked into each back
// end's library test with the back end's own library_drive().
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "passthru/manager.h"
#include "tests/real_drive/library.h"

namespace {

using namespace real_drive_test;

class RealDriveLibrary : public ::testing::Test {
protected:
    void SetUp() override { library_drive().answer_good(); }
};

TEST_F(RealDriveLibrary, RealDrivesComeAfterTheVirtualAdapterAndDescribeTheirBusAndLimits) {
    EXPECT_EQ(passthru::get_support_info(), (std::uint32_t{SS_COMP} << 8) | 2u);

    auto ha = request_block<SRB_HAInquiry>(SC_HA_INQUIRY);
    ASSERT_EQ(passthru::send_command(&ha), SS_COMP);
    EXPECT_EQ(ha.HA_Count, 2);
    EXPECT_EQ(ha.HA_SCSI_ID, 7);
    const char *name = library_drive().adapter_name();
    EXPECT_EQ(std::memcmp(ha.HA_Identifier, name, std::strlen(name) + 1), 0);
    const auto unique = library_drive().ha_unique();
    EXPECT_EQ(std::vector<std::uint8_t>(ha.HA_Unique, ha.HA_Unique + 8),
              std::vector<std::uint8_t>(unique.begin(), unique.end()));

    auto dev = request_block<SRB_GDEVBlock>(SC_GET_DEV_TYPE);
    ASSERT_EQ(passthru::send_command(&dev), SS_COMP);
    EXPECT_EQ(dev.SRB_DeviceType, 5);
    dev.SRB_Target = 1;
    EXPECT_EQ(passthru::send_command(&dev), SS_NO_DEVICE);
    dev.SRB_HaId = 0;
    dev.SRB_Target = 0;
    EXPECT_EQ(passthru::send_command(&dev), SS_NO_DEVICE) << "the virtual adapter has no unit here";
}

TEST_F(RealDriveLibrary, ReadsCompleteWithTheirDataAndTimeOutsWithCommandTimeout) {
    library_drive().answer_data(std::vector<std::uint8_t>(23520, 0x42));
    Exec good(read_cd_cdb(10), 23520);
    ASSERT_EQ(good.run(), SS_PENDING);
    ASSERT_TRUE(good.signalled);
    EXPECT_EQ(good.status(), SS_COMP);
    EXPECT_EQ(good.srb.SRB_HaStat, HASTAT_OK);
    EXPECT_EQ(good.srb.SRB_TargStat, STATUS_GOOD);
    EXPECT_EQ(good.buffer, std::vector<std::uint8_t>(23520, 0x42));

    library_drive().answer_time_out();
    Exec late(read_cd_cdb(1), 2352);
    ASSERT_EQ(late.run(), SS_PENDING);
    EXPECT_EQ(late.status(), SS_ERR);
    EXPECT_EQ(late.srb.SRB_HaStat, HASTAT_COMMAND_TIMEOUT);
    EXPECT_EQ(late.buffer, std::vector<std::uint8_t>(2352, kCanary));
}

TEST_F(RealDriveLibrary, CheckConditionCompletesWithErrorAndAsMuchSenseAsAsked) {
    // ILLEGAL REQUEST, LOGICAL BLOCK ADDRESS OUT OF RANGE; byte 17 lies beyond the 14 bytes asked for.
    const std::vector<std::uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0, 0, 0, 0, 0x99};
    library_drive().answer_check_condition(sense);
    Exec r(read_cd_cdb(10), 23520);
    ASSERT_EQ(r.run(), SS_PENDING);
    EXPECT_EQ(r.status(), SS_ERR);
    EXPECT_EQ(r.srb.SRB_HaStat, HASTAT_OK);
    EXPECT_EQ(r.srb.SRB_TargStat, 0x02);
    EXPECT_EQ(std::vector<std::uint8_t>(r.srb.SenseArea, r.srb.SenseArea + 14),
              std::vector<std::uint8_t>(sense.begin(), sense.begin() + 14));
    EXPECT_EQ(r.srb.SenseArea[14], kCanary);
    EXPECT_EQ(r.srb.SenseArea[15], kCanary);
}

}  // namespace
