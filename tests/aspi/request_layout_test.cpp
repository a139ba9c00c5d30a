// The request blocks cross into the pass-through library: check them byte for byte against
// layouts written out by hand from the published interface (32-bit) and our 64-bit layout.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aspi/aspi32.h"

namespace {

template <typename T> std::vector<std::uint8_t> bytes_of(const T &block) {
    std::vector<std::uint8_t> out(sizeof block);
    std::memcpy(out.data(), &block, sizeof block);
    return out;
}

void *fake_pointer(std::uint64_t value) { return reinterpret_cast<void *>(static_cast<std::uintptr_t>(value)); }

TEST(RequestLayout, ExecScsiCmdFieldsLandAtTheirPublishedOffsets) {
    SRB_ExecSCSICmd srb = zeroed_request<SRB_ExecSCSICmd>(SC_EXEC_SCSI_CMD, 0x03);
    srb.SRB_Status = 0xA1;
    srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    srb.SRB_Target = 0x05;
    srb.SRB_Lun = 0x06;
    srb.SRB_BufLen = 0x00005BE0;  // 23520, little-endian on the wire
    srb.SRB_BufPointer = static_cast<std::uint8_t *>(fake_pointer(sizeof(void *) == 8 ? 0x1122334455667788ULL : 0x11223344ULL));
    srb.SRB_SenseLen = 16;
    srb.SRB_CDBLen = 12;
    srb.SRB_HaStat = 0xB1;
    srb.SRB_TargStat = 0xB2;
    srb.SRB_PostProc = fake_pointer(sizeof(void *) == 8 ? 0x0102030405060708ULL : 0x01020304ULL);
    const std::uint8_t cdb[12] = {0xBE, 0, 0, 0, 0, 0x96, 0, 0, 0x0A, 0x10, 0, 0};
    std::memcpy(srb.CDBByte, cdb, sizeof cdb);
    srb.SenseArea[0] = 0x70;
    srb.SenseArea[15] = 0xEE;

    std::vector<std::uint8_t> expected;
    if (sizeof(void *) == 4) {
        expected = {
            0x02, 0xA1, 0x03, 0x48, 0, 0, 0, 0,              // header
            0x05, 0x06, 0, 0, 0xE0, 0x5B, 0x00, 0x00,        // target, lun, rsvd, buflen
            0x44, 0x33, 0x22, 0x11,                          // 0x10 buffer pointer
            16, 12, 0xB1, 0xB2,                              // 0x14 senselen cdblen hastat targstat
            0x04, 0x03, 0x02, 0x01,                          // 0x18 post proc
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x1C reserved
        };
    } else {
        expected = {
            0x02, 0xA1, 0x03, 0x48, 0, 0, 0, 0,
            0x05, 0x06, 0, 0, 0xE0, 0x5B, 0x00, 0x00,
            0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // 0x10 buffer pointer
            16, 12, 0xB1, 0xB2,                              // 0x18
            0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // 0x1C post proc
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x24 reserved
        };
    }
    expected.insert(expected.end(), {0xBE, 0, 0, 0, 0, 0x96, 0, 0, 0x0A, 0x10, 0, 0, 0, 0, 0, 0});
    expected.insert(expected.end(), {0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE});
    EXPECT_EQ(bytes_of(srb), expected);
    EXPECT_EQ(sizeof srb, sizeof(void *) == 8 ? 88u : 80u);
}

TEST(RequestLayout, HaInquiryAndAbortBlocks) {
    SRB_HAInquiry inquiry = zeroed_request<SRB_HAInquiry>(SC_HA_INQUIRY, 2);
    inquiry.HA_Count = 3;
    inquiry.HA_SCSI_ID = 7;
    inquiry.HA_ManagerId[0] = 'A';
    inquiry.HA_Identifier[15] = 'Z';
    inquiry.HA_Unique[0] = 0x55;
    inquiry.HA_Rsvd1 = 0x0102;
    std::vector<std::uint8_t> expected(60, 0);
    expected[0x02] = 2;
    expected[0x08] = 3;
    expected[0x09] = 7;
    expected[0x0A] = 'A';
    expected[0x29] = 'Z';
    expected[0x2A] = 0x55;
    expected[0x3A] = 0x02;
    expected[0x3B] = 0x01;
    EXPECT_EQ(bytes_of(inquiry), expected);

    SRB_Abort abort = zeroed_request<SRB_Abort>(SC_ABORT_SRB, 1);
    abort.SRB_ToAbort = fake_pointer(sizeof(void *) == 8 ? 0x8877665544332211ULL : 0x44332211ULL);
    std::vector<std::uint8_t> expected_abort = {0x03, 0, 0x01, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44};
    if (sizeof(void *) == 8) expected_abort.insert(expected_abort.end(), {0x55, 0x66, 0x77, 0x88});
    EXPECT_EQ(bytes_of(abort), expected_abort);
}

}  // namespace
