#include "passthru/sg/sg_result.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "aspi/aspi32.h"

namespace passthru::sg {
namespace {

constexpr std::uint8_t kCheckCondition = 0x02;

bool is_descriptor_format(std::uint8_t response_code) {
    const std::uint8_t code = response_code & 0x7F;
    return code == 0x72 || code == 0x73;
}

// The descriptor of `type` in descriptor-format sense, or null.
const std::uint8_t *find_descriptor(const std::uint8_t *sense, std::size_t length, std::uint8_t type) {
    if (length < 8) return nullptr;
    const std::size_t end = std::min<std::size_t>(length, 8u + sense[7]);
    for (std::size_t at = 8; at + 2 <= end;) {
        const std::size_t size = 2u + sense[at + 1];
        if (at + size > end) break;
        if (sense[at] == type) return sense + at;
        at += size;
    }
    return nullptr;
}

void convert_descriptor_sense(const std::uint8_t *sense, std::size_t length, std::uint8_t *fixed) {
    fixed[0] = (sense[0] & 0x7F) == 0x73 ? 0x71 : 0x70;
    fixed[2] = sense[1] & 0x0F;
    fixed[7] = kSenseBytes - 8;
    fixed[12] = sense[2];
    fixed[13] = sense[3];
    if (const std::uint8_t *info = find_descriptor(sense, length, 0x00); info && info[1] >= 0x0A) {
        // Fixed format holds 4 bytes of information; VALID only when the value fits.
        const bool fits = info[4] == 0 && info[5] == 0 && info[6] == 0 && info[7] == 0;
        std::memcpy(fixed + 3, info + 8, 4);
        if ((info[2] & 0x80) && fits) fixed[0] |= 0x80;
    }
    if (const std::uint8_t *key_specific = find_descriptor(sense, length, 0x02); key_specific && key_specific[1] >= 0x06)
        std::memcpy(fixed + 15, key_specific + 4, 3);
}

std::uint8_t host_verdict(std::uint16_t host_status, bool given_up, std::uint8_t &aspi_status) {
    switch (host_status) {
    case kDidTimeOut: return HASTAT_COMMAND_TIMEOUT;
    case kDidNoConnect:
    case kDidBadTarget: return HASTAT_SEL_TO;
    case kDidReset: return HASTAT_BUS_RESET;
    case kDidParity: return HASTAT_PARITY_ERROR;
    case kDidAbort:
        if (given_up) aspi_status = SS_ABORTED;
        return HASTAT_COMMAND_TIMEOUT;
    default: return HASTAT_PHASE_ERR;
    }
}

// resid counts what did not move, as far as the host adapter reports it. After GOOD, 0 (also from
// one that reports nothing) or a negative one counts as all moved; after a failure only a positive
// one says anything (the kernel leaves resid 0 after CHECK CONDITION when the adapter reported no
// length, with nothing moved).
std::uint32_t bytes_moved(const sg_io_hdr_t &h, const ScsiCommand &c, bool failed) {
    if (c.direction == DataDirection::none) return 0;
    if (h.resid <= 0) return failed ? 0 : c.data_length;
    return c.data_length - std::min(static_cast<std::uint32_t>(h.resid), c.data_length);
}

}  // namespace

sg_io_hdr_t make_header(const ScsiCommand &c, std::uint8_t *sense) {
    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    const bool has_data = c.direction != DataDirection::none && c.data_length > 0;
    h.dxfer_direction = !has_data ? SG_DXFER_NONE : c.direction == DataDirection::in ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    h.dxfer_len = has_data ? c.data_length : 0;
    h.dxferp = has_data ? c.data : nullptr;
    h.cmd_len = c.cdb_length;
    h.cmdp = const_cast<unsigned char *>(c.cdb);  // the kernel only reads it
    h.mx_sb_len = kKernelSenseBytes;
    h.sbp = sense;
    h.timeout = static_cast<unsigned int>(kCommandTimeout.count());  // the kernel wants milliseconds
    return h;
}

void map_submit_error(int error, const ScsiCommand &c, std::uint32_t unit_max_transfer, ScsiOutcome &o) {
    o = ScsiOutcome{};
    // The size checks of 6.1: EINVAL past max_segments pages, EIO past max_hw_sectors_kb on sr,
    // ENOMEM there on sg.
    if (c.data_length > unit_max_transfer && (error == EINVAL || error == EIO || error == ENOMEM)) {
        o.aspi_status = SS_BUFFER_TO_BIG;
        return;
    }
    switch (error) {
    case ENODEV:
    case ENXIO:
    case ENOENT: o.aspi_status = SS_NO_DEVICE; return;
    case EINVAL:
    case EMSGSIZE:
    case EPERM:
    case EACCES:
    case EFAULT:
    case ENOTTY: o.aspi_status = SS_INVALID_SRB; return;
    case ENOMEM:
    case EAGAIN:
    case EBUSY:
    case EINTR: o.aspi_status = SS_ASPI_IS_BUSY; return;
    case ENOMEDIUM: set_check_condition(o, 0x02, 0x3A, 0x00); return;  // NOT READY, medium not present
    case EIO: o.host_status = HASTAT_SEL_TO; return;
    default: o.host_status = HASTAT_PHASE_ERR; return;
    }
}

void map_completion(const sg_io_hdr_t &h, const ScsiCommand &c, bool given_up, ScsiOutcome &o) {
    o = ScsiOutcome{};
    o.target_status = h.status;
    const std::uint16_t driver = h.driver_status & 0x0F;  // the high nibble held SUGGEST_* hints
    o.transferred = bytes_moved(h, c, h.status != 0 || h.host_status != kDidOk || driver != 0);
    const bool check_condition = h.status == kCheckCondition || driver == kDriverSense;
    if (check_condition) {
        o.target_status = kCheckCondition;
        store_sense(h.sbp ? static_cast<const std::uint8_t *>(h.sbp) : nullptr, h.sb_len_wr, o);
    }
    if (h.host_status != kDidOk) {
        o.host_status = host_verdict(h.host_status, given_up, o.aspi_status);
        return;
    }
    if (o.target_status != 0 || driver == kDriverSense || driver == 0) return;
    o.host_status = driver == kDriverTimeout ? HASTAT_COMMAND_TIMEOUT : HASTAT_PHASE_ERR;
}

void store_sense(const std::uint8_t *sense, std::size_t length, ScsiOutcome &o) {
    std::memset(o.sense, 0, sizeof o.sense);
    o.sense_length = 0;
    if (!sense || length == 0) return;
    length = std::min(length, kKernelSenseBytes);
    if (is_descriptor_format(sense[0]) && length >= 4) {
        convert_descriptor_sense(sense, length, o.sense);
        o.sense_length = kSenseBytes;
        return;
    }
    o.sense_length = static_cast<std::uint8_t>(std::min<std::size_t>(length, kSenseBytes));
    std::memcpy(o.sense, sense, o.sense_length);
}

}  // namespace passthru::sg
