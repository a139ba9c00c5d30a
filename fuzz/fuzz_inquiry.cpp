// Unit discovery against a pass-through library whose every answer comes from the input: how many
// adapters, each adapter's inquiry and SCSI id, and for every target and LUN the INQUIRY's status,
// target status and returned bytes (any length, any content). The library stand-in answers at once,
// so no wait is involved.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "aspi/binding.h"
#include "cdrom/discovery.h"
#include "fuzz/fuzz_input.h"

namespace {

FuzzInput g_input{nullptr, 0};

std::uint32_t ASPI_CDECL support_info() {
    const std::uint8_t status = g_input.byte() % 4 == 0 ? SS_NO_ADAPTERS : SS_COMP;
    return std::uint32_t{status} << 8 | (g_input.byte() % 3);
}

std::uint32_t ASPI_CDECL send_command(void *block) {
    auto *header = static_cast<SRB_Header *>(block);
    if (header->SRB_Cmd == SC_HA_INQUIRY) {
        auto &ha = *static_cast<SRB_HAInquiry *>(block);
        const bool exhausted = g_input.at >= g_input.size;  // an adapter that does not answer
        ha.HA_SCSI_ID = g_input.byte();
        ha.SRB_Status = exhausted || g_input.byte() % 8 == 0 ? SS_INVALID_HA : SS_COMP;
        return ha.SRB_Status;
    }
    if (header->SRB_Cmd != SC_EXEC_SCSI_CMD) return header->SRB_Status = SS_COMP;
    auto &srb = *static_cast<SRB_ExecSCSICmd *>(block);
    if (g_input.at >= g_input.size) return srb.SRB_Status = SS_NO_DEVICE;  // nothing more answers
    const std::uint8_t kind = g_input.byte();
    srb.SRB_TargStat = g_input.byte();
    const std::uint32_t returned = std::min<std::uint32_t>(g_input.byte(), srb.SRB_BufLen);
    g_input.bytes(srb.SRB_BufPointer, returned);
    srb.SRB_Status = kind % 3 == 0 ? SS_COMP : kind % 3 == 1 ? SS_ERR : SS_NO_DEVICE;
    return srb.SRB_Status;
}

AspiStandIn g_library{support_info, send_command, false, {0}};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    install_aspi_stand_in(&g_library);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    g_input = FuzzInput{data, size};
    CdromDeviceList *list = get_cdrom_device();
    if (list && (list->count < 0 || list->count > CDROM_DEVICE_SLOTS)) __builtin_trap();
    if (g_library.loaded.load() != 0) __builtin_trap();  // every path releases the library
    return 0;
}
