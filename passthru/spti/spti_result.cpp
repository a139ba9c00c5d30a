#include "passthru/spti/spti_result.h"

#include <algorithm>
#include <cstring>

#include "aspi/aspi32.h"

namespace passthru::spti {
namespace {

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kStatusBusy = 0x08;

}  // namespace

PassThroughPacket make_packet(const ScsiCommand &c, std::uint8_t *data, const ScsiAddress &address) {
    PassThroughPacket p;
    std::memset(&p, 0, sizeof p);
    SCSI_PASS_THROUGH_DIRECT &s = p.sptd;
    s.Length = sizeof s;
    s.PathId = static_cast<UCHAR>(address.path);
    s.TargetId = static_cast<UCHAR>(address.target);
    s.Lun = static_cast<UCHAR>(address.lun);
    s.CdbLength = c.cdb_length;
    s.SenseInfoLength = kSystemSenseBytes;
    const bool has_data = c.direction != DataDirection::none && c.data_length > 0;
    s.DataIn = !has_data ? SCSI_IOCTL_DATA_UNSPECIFIED
               : c.direction == DataDirection::in ? SCSI_IOCTL_DATA_IN
                                                  : SCSI_IOCTL_DATA_OUT;
    s.DataTransferLength = has_data ? c.data_length : 0;
    s.TimeOutValue = static_cast<ULONG>(std::chrono::duration_cast<std::chrono::seconds>(kCommandTimeout).count());
    s.DataBuffer = has_data ? data : nullptr;
    s.SenseInfoOffset = offsetof(PassThroughPacket, sense);
    std::memcpy(s.Cdb, c.cdb, sizeof s.Cdb);
    return p;
}

void map_completion(const PassThroughPacket &p, const ScsiCommand &c, ScsiOutcome &o) {
    o = ScsiOutcome{};
    const bool has_data = c.direction != DataDirection::none && c.data_length > 0;
    o.transferred = has_data ? std::min<std::uint32_t>(p.sptd.DataTransferLength, c.data_length) : 0;
    o.target_status = p.sptd.ScsiStatus;
    if (o.target_status != kCheckCondition) return;
    o.sense_length = static_cast<std::uint8_t>(
        std::min<std::size_t>({p.sptd.SenseInfoLength, kSystemSenseBytes, std::size_t{kSenseBytes}}));
    std::memcpy(o.sense, p.sense, o.sense_length);
}

bool drive_gone(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_REMOVED:
    case ERROR_INVALID_HANDLE: return true;
    default: return false;
    }
}

void map_error(DWORD error, const ScsiCommand &c, std::uint32_t unit_max_transfer, bool given_up, ScsiOutcome &o) {
    o = ScsiOutcome{};
    if (drive_gone(error)) {
        o.aspi_status = SS_NO_DEVICE;
        return;
    }
    switch (error) {
    case ERROR_OPERATION_ABORTED:
        if (given_up) o.aspi_status = SS_ABORTED;
        else o.host_status = HASTAT_COMMAND_TIMEOUT;
        return;
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT: o.host_status = HASTAT_COMMAND_TIMEOUT; return;
    case ERROR_INVALID_PARAMETER:
        o.aspi_status = c.data_length > unit_max_transfer ? SS_BUFFER_TO_BIG : SS_INVALID_SRB;
        return;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: o.target_status = kStatusBusy; return;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: o.aspi_status = SS_INVALID_SRB; return;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_WORKING_SET_QUOTA:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_BUSY: o.aspi_status = SS_ASPI_IS_BUSY; return;
    case ERROR_NOT_READY: set_check_condition(o, 0x02, 0x04, 0x00); return;
    case ERROR_NO_MEDIA_IN_DRIVE: set_check_condition(o, 0x02, 0x3A, 0x00); return;
    case ERROR_MEDIA_CHANGED: set_check_condition(o, 0x06, 0x28, 0x00); return;
    case ERROR_IO_DEVICE: o.host_status = HASTAT_SEL_TO; return;
    default: o.host_status = HASTAT_PHASE_ERR; return;
    }
}

}  // namespace passthru::spti
