#include "cdrom/discovery.h"

#include <cstdio>
#include <cstring>

#include "aspi/binding.h"
#include "cdrom/commands.h"
#include "common/messages.h"

namespace {

AspiBinding g_discovery_binding;
CdromDeviceList g_device_list;

constexpr int TARGETS_PER_ADAPTER = 16;
constexpr int LUNS_PER_TARGET = 8;
constexpr std::uint8_t CDROM_DEVICE_TYPE = 5;

enum class ScanResult { done, failed };

// The adapter's own SCSI id, or -1 when the adapter does not answer.
int adapter_scsi_id(std::uint8_t adapter) {
    SRB_HAInquiry inquiry;
    return aspi_inquire_adapter(&g_discovery_binding, adapter, inquiry) ? inquiry.HA_SCSI_ID : -1;
}

bool is_cdrom(const AspiOutcome &inquiry, const std::uint8_t *data) {
    return inquiry.end == AspiEnd::done && (data[0] & 0x1F) == CDROM_DEVICE_TYPE;
}

std::int32_t ignores_target_status(const AspiOutcome &inquiry, const std::uint8_t *data) {
    const int ansi_version = data[2] & 0x07;
    return ansi_version == 0 || inquiry.target_status != 0 ? 1 : 0;
}

// Appends one unit; false (after the message) when the list has run full.
bool add_unit(const CdromDevice &unit) {
    g_device_list.slots[g_device_list.count] = unit;
    if (++g_device_list.count < CDROM_DEVICE_SLOTS) return true;
    std::printf("%s", msg::over_max_device);
    return false;
}

ScanResult scan_adapter(std::int32_t adapter, int own_id) {
    std::uint8_t data[INQUIRY_BYTES];
    for (std::int32_t target = 0; target < TARGETS_PER_ADAPTER; ++target) {
        if (target == own_id) continue;
        for (std::int32_t lun = 0; lun < LUNS_PER_TARGET; ++lun) {
            // A unit that completes without data must not inherit the previous unit's answer.
            std::memset(data, 0, sizeof data);
            const AspiOutcome inquiry = aspi_send(&g_discovery_binding, unit_at(adapter, target, lun), build_inquiry(data));
            if (reported_no_event(inquiry) || inquiry.end == AspiEnd::timed_out) return ScanResult::failed;
            if (!is_cdrom(inquiry, data)) continue;
            if (!add_unit({adapter, target, lun, ignores_target_status(inquiry, data)})) return ScanResult::failed;
        }
    }
    return ScanResult::done;
}

CdromDeviceList *fail_discovery() {
    release_aspi(&g_discovery_binding);
    return nullptr;
}

}  // namespace

CdromDeviceList *get_cdrom_device() {
    if (!bind_aspi(&g_discovery_binding)) return nullptr;

    const std::uint32_t support = g_discovery_binding.lpGetASPI32SupportInfo();
    if (((support >> 8) & 0xFF) != SS_COMP) {
        std::printf("%s", msg::no_adapters);
        return fail_discovery();
    }
    const int adapters = static_cast<int>(support & 0xFF);

    g_device_list.count = 0;
    for (int adapter = 0; adapter < adapters; ++adapter) {
        const int own_id = adapter_scsi_id(static_cast<std::uint8_t>(adapter));
        if (own_id < 0) continue;
        if (scan_adapter(adapter, own_id) == ScanResult::failed) return fail_discovery();
    }
    release_aspi(&g_discovery_binding);
    return &g_device_list;
}
