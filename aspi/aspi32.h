#pragma once
// The ASPI32 pass-through interface: entry points, request blocks, codes.
//
// The request blocks cross into another binary (WNASPI32.DLL / libwnaspi32.so), so their layout is
// fixed byte for byte: the published, byte-packed ASPI for Win32 layouts on 32-bit targets, and on
// 64-bit targets the same packed order with 8-byte pointer fields (no published layout exists; this
// one is shared by the program and our own library). The static_asserts below pin both.
//
// Entry points (C linkage, cdecl on 32-bit Windows):
//   uint32_t GetASPI32SupportInfo(void);  bits 8-15 status (SS_COMP = usable), bits 0-7 adapters
//   uint32_t SendASPI32Command(void *srb);
// SRB_PostProc carries the completion event: a Win32 event HANDLE, or on POSIX an eventfd as
// (void *)(intptr_t)fd, signalled by writing the 8-byte value 1.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
#define ASPI_CDECL __cdecl
#else
#define ASPI_CDECL
#endif

using GetASPI32SupportInfoFn = std::uint32_t(ASPI_CDECL *)(void);
using SendASPI32CommandFn = std::uint32_t(ASPI_CDECL *)(void *srb);

// ---- Command codes (SRB_Cmd) ----
inline constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr std::uint8_t SC_GET_DEV_TYPE = 0x01;
inline constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
inline constexpr std::uint8_t SC_ABORT_SRB = 0x03;
inline constexpr std::uint8_t SC_RESET_DEV = 0x04;

// ---- Status codes (SRB_Status and the return of SendASPI32Command) ----
inline constexpr std::uint8_t SS_PENDING = 0x00;
inline constexpr std::uint8_t SS_COMP = 0x01;
inline constexpr std::uint8_t SS_ABORTED = 0x02;
inline constexpr std::uint8_t SS_ABORT_FAIL = 0x03;
inline constexpr std::uint8_t SS_ERR = 0x04;
inline constexpr std::uint8_t SS_INVALID_CMD = 0x80;
inline constexpr std::uint8_t SS_INVALID_HA = 0x81;
inline constexpr std::uint8_t SS_NO_DEVICE = 0x82;
inline constexpr std::uint8_t SS_INVALID_SRB = 0xE0;
inline constexpr std::uint8_t SS_BUFFER_ALIGN = 0xE1;
inline constexpr std::uint8_t SS_ILLEGAL_MODE = 0xE2;
inline constexpr std::uint8_t SS_NO_ASPI = 0xE3;
inline constexpr std::uint8_t SS_FAILED_INIT = 0xE4;
inline constexpr std::uint8_t SS_ASPI_IS_BUSY = 0xE5;
inline constexpr std::uint8_t SS_BUFFER_TO_BIG = 0xE6;
inline constexpr std::uint8_t SS_MISMATCHED_COMPONENTS = 0xE7;
inline constexpr std::uint8_t SS_NO_ADAPTERS = 0xE8;
inline constexpr std::uint8_t SS_INSUFFICIENT_RESOURCES = 0xE9;
inline constexpr std::uint8_t SS_ASPI_IS_SHUTDOWN = 0xEA;
inline constexpr std::uint8_t SS_BAD_INSTALL = 0xEB;

// ---- SRB_Flags ----
inline constexpr std::uint8_t SRB_POSTING = 0x01;
inline constexpr std::uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
inline constexpr std::uint8_t SRB_DIR_IN = 0x08;
inline constexpr std::uint8_t SRB_DIR_OUT = 0x10;
inline constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;

// ---- SRB_HaStat ----
inline constexpr std::uint8_t HASTAT_OK = 0x00;
inline constexpr std::uint8_t HASTAT_TIMEOUT = 0x09;
inline constexpr std::uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;
inline constexpr std::uint8_t HASTAT_MESSAGE_REJECT = 0x0D;
inline constexpr std::uint8_t HASTAT_BUS_RESET = 0x0E;
inline constexpr std::uint8_t HASTAT_PARITY_ERROR = 0x0F;
inline constexpr std::uint8_t HASTAT_REQUEST_SENSE_FAILED = 0x10;
inline constexpr std::uint8_t HASTAT_SEL_TO = 0x11;
inline constexpr std::uint8_t HASTAT_DO_DU = 0x12;
inline constexpr std::uint8_t HASTAT_BUS_FREE = 0x13;
inline constexpr std::uint8_t HASTAT_PHASE_ERR = 0x14;

// ---- SRB_TargStat (the unshifted SCSI status byte) ----
inline constexpr std::uint8_t STATUS_GOOD = 0x00;
inline constexpr std::uint8_t STATUS_CHKCOND = 0x02;
inline constexpr std::uint8_t STATUS_BUSY = 0x08;

inline constexpr int SENSE_LEN = 14;

#pragma pack(push, 1)

struct SRB_Header {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
};

// SC_HA_INQUIRY: answered at once.
struct SRB_HAInquiry {
    std::uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;  // SRB_Header, as every block starts
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t HA_Count;
    std::uint8_t HA_SCSI_ID;
    std::uint8_t HA_ManagerId[16];
    std::uint8_t HA_Identifier[16];
    std::uint8_t HA_Unique[16];
    std::uint16_t HA_Rsvd1;
};

// SC_GET_DEV_TYPE: answered at once.
struct SRB_GDEVBlock {
    std::uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;  // SRB_Header, as every block starts
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint8_t SRB_DeviceType;
    std::uint8_t SRB_Rsvd1;
};

// SC_EXEC_SCSI_CMD: normally pending, completed through SRB_PostProc.
struct SRB_ExecSCSICmd {
    std::uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;  // SRB_Header, as every block starts
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint16_t SRB_Rsvd1;
    std::uint32_t SRB_BufLen;
    std::uint8_t *SRB_BufPointer;
    std::uint8_t SRB_SenseLen;
    std::uint8_t SRB_CDBLen;
    std::uint8_t SRB_HaStat;
    std::uint8_t SRB_TargStat;
    void *SRB_PostProc;
    std::uint8_t SRB_Rsvd2[20];
    std::uint8_t CDBByte[16];
    std::uint8_t SenseArea[SENSE_LEN + 2];
};

// SC_ABORT_SRB: asks the library to give up a pending SC_EXEC_SCSI_CMD.
struct SRB_Abort {
    std::uint8_t SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;  // SRB_Header, as every block starts
    std::uint32_t SRB_Hdr_Rsvd;
    void *SRB_ToAbort;
};

#pragma pack(pop)

// A zeroed request block of `command` for adapter `ha_id`, to be filled further.
template <typename Block> Block zeroed_request(std::uint8_t command, std::uint8_t ha_id) {
    Block block;
    std::memset(&block, 0, sizeof block);
    block.SRB_Cmd = command;
    block.SRB_HaId = ha_id;
    return block;
}

// ---- Layout checks ----
static_assert(sizeof(SRB_Header) == 8);
static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 0x08);
static_assert(offsetof(SRB_HAInquiry, HA_SCSI_ID) == 0x09);
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 0x0A);
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 0x1A);
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 0x2A);
static_assert(offsetof(SRB_HAInquiry, HA_Rsvd1) == 0x3A);
static_assert(sizeof(SRB_GDEVBlock) == 12);
static_assert(offsetof(SRB_GDEVBlock, SRB_DeviceType) == 0x0A);

static_assert(offsetof(SRB_ExecSCSICmd, SRB_Cmd) == 0x00);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Status) == 0x01);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaId) == 0x02);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == 0x03);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Hdr_Rsvd) == 0x04);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 0x08);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == 0x09);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd1) == 0x0A);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 0x0C);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 0x10);
static_assert(offsetof(SRB_Abort, SRB_ToAbort) == 0x08);

template <std::size_t PointerBytes> struct ExecLayout;
// The published 32-bit layout: 80 / 12 bytes.
template <> struct ExecLayout<4> {
    static constexpr std::size_t sense_len = 0x14, cdb_len = 0x15, ha_stat = 0x16, targ_stat = 0x17,
                                 post_proc = 0x18, rsvd2 = 0x1C, cdb = 0x30, sense = 0x40, size = 80,
                                 abort_size = 12;
};
// Our 64-bit layout: the same packed order with 8-byte pointers: 88 / 16 bytes.
template <> struct ExecLayout<8> {
    static constexpr std::size_t sense_len = 0x18, cdb_len = 0x19, ha_stat = 0x1A, targ_stat = 0x1B,
                                 post_proc = 0x1C, rsvd2 = 0x24, cdb = 0x38, sense = 0x48, size = 88,
                                 abort_size = 16;
};
using ThisExecLayout = ExecLayout<sizeof(void *)>;
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == ThisExecLayout::sense_len);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == ThisExecLayout::cdb_len);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == ThisExecLayout::ha_stat);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == ThisExecLayout::targ_stat);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == ThisExecLayout::post_proc);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == ThisExecLayout::rsvd2);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == ThisExecLayout::cdb);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == ThisExecLayout::sense);
static_assert(sizeof(SRB_ExecSCSICmd) == ThisExecLayout::size);
static_assert(sizeof(SRB_Abort) == ThisExecLayout::abort_size);
