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

bool inquire(const CdromDevice &unit, CdromUnitStatus &status) {
    std::uint8_t data[INQUIRY_BYTES] = {};
    const AspiUnit address = unit_at(unit.ha_id, unit.target, unit.lun);
    if (aspi_send(&g_probe_binding, address, build_inquiry(data)).end != AspiEnd::done) return false;
    copy_field(status.vendor, data + 8, 8);
    copy_field(status.product, data + 16, 16);
    copy_field(status.revision, data + 32, 4);
    // Byte 4 is the number of bytes after it: the name is there only when it covers byte 55.
    if (std::strcmp(status.vendor, VIRTUAL_DRIVE_VENDOR) == 0 && std::size_t{data[4]} + 5 >= IMAGE_NAME_END)
        copy_field(status.image, data + 36, IMAGE_NAME_END - 36);
    return true;
}

}  // namespace

Readiness readiness_of(const AspiOutcome &test_unit_ready, std::int32_t ignore_target_status) {
    if (test_unit_ready.end == AspiEnd::timed_out || test_unit_ready.end == AspiEnd::no_event)
        return Readiness::no_answer;
    const bool status_counts = ignore_target_status != 1;
    if (test_unit_ready.end != AspiEnd::done || (status_counts && test_unit_ready.target_status != 0))
        return Readiness::not_ready;
    return Readiness::ready;
}

CdromUnitStatus probe_cdrom_unit(const CdromDevice &unit) {
    CdromUnitStatus status{};
    if (!bind_aspi(&g_probe_binding)) return status;
    status.answered = inquire(unit, status);
    const AspiOutcome ready = aspi_send(&g_probe_binding, unit_at(unit.ha_id, unit.target, unit.lun),
                                        build_test_unit_ready());
    status.disc_in = readiness_of(ready, unit.ignore_target_status) == Readiness::ready;
    release_aspi(&g_probe_binding);
    return status;
}
