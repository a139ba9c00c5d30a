#include "cdrom/unit_status.h"

#include <cstring>

#include "aspi/binding.h"
#include "cdrom/commands.h"

namespace {

AspiBinding g_probe_binding;

constexpr char VIRTUAL_DRIVE_VENDOR[] = "CDDAPLAY";
constexpr std::size_t IMAGE_NAME_END = 56;

// Copies `size` bytes of an INQUIRY text field as a C string.
void copy_field(char *out, const std::uint8_t *field, std::size_t size) {
    std::size_t end = size;
    while (end > 0 && field[end - 1] == ' ') --end;
    for (std::size_t i = 0; i < end; ++i) out[i] = field[i] >= 0x20 && field[i] < 0x7F ? static_cast<char>(field[i]) : '?';
    out[end] = '\0';
}

bool inquire(const CdromDevice &unit, platform::EventHandle event, CdromUnitStatus &status) {
    std::uint8_t data[INQUIRY_BYTES] = {};
    SRB_ExecSCSICmd srb;
    build_inquiry(&srb, unit.ha_id, unit.target, unit.lun, data, event);
    if (aspi_exchange(&g_probe_binding, &srb, event) != ExchangeOutcome::finished || srb.SRB_Status != SS_COMP)
        return false;
    copy_field(status.vendor, data + 8, 8);
    copy_field(status.product, data + 16, 16);
    copy_field(status.revision, data + 32, 4);
    // Byte 4 is the number of bytes after it: the name is there only when it covers byte 55.
    if (std::strcmp(status.vendor, VIRTUAL_DRIVE_VENDOR) == 0 && std::size_t{data[4]} + 5 >= IMAGE_NAME_END)
        copy_field(status.image, data + 36, IMAGE_NAME_END - 36);
    return true;
}

}  // namespace

Readiness test_unit_ready(AspiBinding *binding, std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                          std::int32_t ignore_target_status, platform::EventHandle event) {
    SRB_ExecSCSICmd srb;
    build_test_unit_ready(&srb, ha_id, target, lun, event);
    if (aspi_exchange(binding, &srb, event) == ExchangeOutcome::timed_out) return Readiness::no_answer;
    const bool status_counts = ignore_target_status != 1;
    if (srb.SRB_Status != SS_COMP || (status_counts && srb.SRB_TargStat != 0)) return Readiness::not_ready;
    return Readiness::ready;
}

CdromUnitStatus probe_cdrom_unit(const CdromDevice &unit) {
    CdromUnitStatus status{};
    if (!bind_aspi(&g_probe_binding)) return status;
    if (platform::EventHandle event = platform::create_event()) {
        status.answered = inquire(unit, event, status);
        status.disc_in = test_unit_ready(&g_probe_binding, unit.ha_id, unit.target, unit.lun, unit.ignore_target_status,
                                         event) == Readiness::ready;
        platform::close_event(event);
    }
    release_aspi(&g_probe_binding);
    return status;
}
