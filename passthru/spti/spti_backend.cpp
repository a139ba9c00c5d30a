#include "passthru/spti/spti_backend.h"

#include <malloc.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <winioctl.h>
#include <ntddcdrm.h>

#include "aspi/aspi32.h"
#include "passthru/messages.h"
#include "passthru/real_drive/frame.h"
#include "passthru/scsi_opcodes.h"
#include "passthru/spti/enumerate.h"
#include "passthru/spti/read_only.h"
#include "passthru/spti/spti_result.h"

namespace passthru::spti {
namespace {

// Where the system puts the drive: its SCSI address, or the device number it goes by without one.
std::string system_place(const Unit &u) {
    return u.address.port == kMadeUpPort
               ? msg::spti_place_unaddressed(u.device_number)
               : msg::spti_place(u.address.port, u.address.path, u.address.target, u.address.lun);
}

bool misaligned(const void *data, std::uint32_t mask) { return (reinterpret_cast<std::uintptr_t>(data) & mask) != 0; }

// The drive's aligned copy, at least `size` bytes; null when no memory is left.
std::uint8_t *bounce_buffer(Unit &u, std::uint32_t size) {
    if (u.bounce_size < size) {
        const std::size_t alignment = std::max<std::size_t>(u.limits.alignment_mask + std::size_t{1}, 16);
        u.bounce.reset(static_cast<std::uint8_t *>(_aligned_malloc(size, alignment)));
        u.bounce_size = u.bounce ? size : 0;
    }
    return u.bounce.get();
}

// Waits for a pending ioctl to end; cancels it once the manager gives it up, and still waits for
// its end. Returns how it ended.
DWORD wait_for_end(const SptiSystem &system, Unit &u, OVERLAPPED &overlapped, const ScsiCommand &c,
                   const CancelToken &cancel, DWORD &returned) {
    bool cancel_asked = false;
    for (;;) {
        const DWORD slice = c.cancellable && !cancel_asked ? static_cast<DWORD>(kCancelPoll.count()) : INFINITE;
        const DWORD error = system.wait_ioctl(u.device, &overlapped, slice, &returned);
        if (error != ERROR_IO_INCOMPLETE) return error;
        if (!cancel_asked && cancel.cancelled()) {
            system.cancel_ioctl(u.device, &overlapped);
            cancel_asked = true;
        }
    }
}

// One ioctl of a command on the unit's handle, to its end: 0 or the error it ended with.
DWORD run_command_ioctl(const SptiSystem &system, Unit &u, DWORD code, void *in, DWORD in_size, void *out,
                        DWORD out_size, const ScsiCommand &c, const CancelToken &cancel, DWORD &returned) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = u.event;
    returned = 0;
    const DWORD error = system.start_ioctl(u.device, code, in, in_size, out, out_size, &overlapped, &returned);
    return error == ERROR_IO_PENDING ? wait_for_end(system, u, overlapped, c, cancel, returned) : error;
}

// The ioctls' input as read_only.cpp writes it, byte by byte, is what the platform headers lay out.
static_assert(sizeof(RAW_READ_INFO) == kRawReadInfoBytes && offsetof(RAW_READ_INFO, SectorCount) == 8 &&
              offsetof(RAW_READ_INFO, TrackMode) == 12 && CDDA == kTrackModeCdda);
static_assert(sizeof(CDROM_READ_TOC_EX) == kReadTocExBytes &&
              std::bit_cast<std::array<std::uint8_t, 4>>(CDROM_READ_TOC_EX{5, 0, 1, 9, 0, 0}) ==
                  std::array<std::uint8_t, 4>{0x85, 9, 0, 0});
static_assert(sizeof(CDROM_TOC) == 804);

// A drive that another program holds (its lock fails every request of ours with access denied):
// SCSI status BUSY (spti_result.h), which the program takes as a failed command, and one line
// saying so.
void answer_busy(const SptiSystem &system, const Unit &u, DWORD error, const ScsiCommand &c, ScsiOutcome &o) {
    map_error(error, c, u.limits.max_transfer, false, o);
    report_once(system, msg::spti_busy(u.name));
}

// INQUIRY from what the system told of the drive, for a drive we cannot ask ourselves.
void answer_inquiry(const Unit &u, const ScsiCommand &c, ScsiOutcome &o) {
    o = ScsiOutcome{};
    const std::uint32_t wanted = std::min<std::uint32_t>(c.cdb[4], c.data_length);
    o.transferred = descriptor_inquiry(u.vendor, u.model, u.revision, c.data, wanted);
}

// The ioctl failed with `error`: the outcome, and what becomes of the handle.
void ioctl_failed(const SptiSystem &system, Unit &u, DWORD error, const ScsiCommand &c, const CancelToken &cancel,
                  ScsiOutcome &o) {
    if (drive_gone(error) || error == ERROR_MEDIA_CHANGED) {
        // Reopened by the next command: a new disc (or the drive plugged in again) starts afresh.
        system.close_handle(u.device);
        u.device = nullptr;
    }
    if (error == ERROR_ACCESS_DENIED) return answer_busy(system, u, error, c, o);
    map_error(error, c, u.limits.max_transfer, cancel.cancelled(), o);
}

// The command through IOCTL_SCSI_PASS_THROUGH_DIRECT, with an aligned copy of a buffer that needs one.
void pass_through(const SptiSystem &system, Unit &u, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
    std::uint8_t *data = c.data;
    const bool bounce = c.data_length > 0 && misaligned(c.data, u.limits.alignment_mask);
    if (bounce) {
        data = bounce_buffer(u, c.data_length);
        if (!data) {
            o.aspi_status = SS_ASPI_IS_BUSY;
            return;
        }
        if (c.direction == DataDirection::out) std::memcpy(data, c.data, c.data_length);
    }
    PassThroughPacket packet = make_packet(c, data, u.address);
    DWORD returned = 0;
    const DWORD error = run_command_ioctl(system, u, IOCTL_SCSI_PASS_THROUGH_DIRECT, &packet, sizeof packet, &packet,
                                          sizeof packet, c, cancel, returned);
    // From here on the system is done with the packet and the data buffer.
    if (error == ERROR_ACCESS_DENIED && c.cdb[0] == kOpInquiry) return answer_inquiry(u, c, o);
    if (error != 0) return ioctl_failed(system, u, error, c, cancel, o);
    map_completion(packet, c, o);
    if (bounce && c.direction == DataDirection::in && o.transferred > 0) std::memcpy(c.data, data, o.transferred);
}

// The command as the class driver's own ioctls, on a handle open for reading only (read_only.h).
void translated(const SptiSystem &system, Unit &u, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
    ReadOnlyPlan plan = plan_read_only(c);
    DWORD code = 0;
    std::vector<std::uint8_t> toc;
    void *out = nullptr;
    DWORD out_size = 0;
    switch (plan.step) {
    case ReadOnlyStep::inquiry: return answer_inquiry(u, c, o);
    case ReadOnlyStep::nothing: return;
    case ReadOnlyStep::refused: return set_check_condition(o, 0x05, plan.asc, 0x00);
    case ReadOnlyStep::check_verify: code = IOCTL_STORAGE_CHECK_VERIFY; break;
    case ReadOnlyStep::read_toc:
        code = IOCTL_CDROM_READ_TOC_EX;
        // The class driver wants room for a whole table whatever the caller asked for.
        toc.assign(std::max<std::size_t>(plan.answer_bytes, sizeof(CDROM_TOC)), 0);
        out = toc.data();
        out_size = static_cast<DWORD>(toc.size());
        break;
    case ReadOnlyStep::raw_read:
        code = IOCTL_CDROM_RAW_READ;
        out = misaligned(c.data, u.limits.alignment_mask) ? bounce_buffer(u, plan.answer_bytes) : c.data;
        if (!out) {
            o.aspi_status = SS_ASPI_IS_BUSY;
            return;
        }
        out_size = plan.answer_bytes;
        break;
    }
    DWORD returned = 0;
    const DWORD error = run_command_ioctl(system, u, code, plan.input_size ? plan.input : nullptr, plan.input_size, out,
                                          out_size, c, cancel, returned);
    if (error != 0) return ioctl_failed(system, u, error, c, cancel, o);
    o.transferred = std::min<std::uint32_t>({returned, plan.answer_bytes, c.data_length});
    if (o.transferred > 0 && out != c.data) std::memcpy(c.data, out, o.transferred);
}

void execute(const SptiSystem &system, Unit *u, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
    if (c.data_length > u->limits.max_transfer) {
        o.aspi_status = SS_BUFFER_TO_BIG;
        return;
    }
    if (!u->device) {
        DWORD error = 0;
        if (!open_for_commands(system, *u, &error)) {
            // Still a unit the program can find (INQUIRY), though it cannot be used now.
            if (c.cdb[0] == kOpInquiry) return answer_inquiry(*u, c, o);
            if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
                return answer_busy(system, *u, error, c, o);
            return map_error(error, c, u->limits.max_transfer, false, o);
        }
    }
    if (u->read_only) translated(system, *u, c, o, cancel);
    else pass_through(system, *u, c, o, cancel);
}

// The spti back end's half of the real-drive frame.
struct SptiDrives {
    using System = SptiSystem;
    using Adapter = SptiAdapter;
    static constexpr const char *kName = "spti";

    static const SptiSystem &real_system() { return real_spti_system(); }
    static std::vector<SptiAdapter> enumerate(const SptiSystem &system) { return enumerate_adapters(system); }
    static void close(const SptiSystem &system, std::vector<SptiAdapter> &adapters) { close_adapters(system, adapters); }
    static AdapterIdentity identity(const SptiAdapter &a) {
        AdapterIdentity id{};
        real_drive::name_adapter(id, a.port == kMadeUpPort ? msg::spti_made_up_adapter : msg::spti_adapter_name(a.port, a.path));
        id.own_scsi_id = static_cast<std::uint8_t>(a.own_scsi_id);
        id.max_transfer = a.limits.max_transfer;
        id.alignment_mask = static_cast<std::uint16_t>(a.limits.alignment_mask);
        return id;
    }
    static int device_type(const Unit &) { return 5; }  // every drive found is a CD-ROM drive
    static std::string describe(const Unit &u) {
        return u.name + " " + msg::vendor_and_model(u.vendor, u.model) + " " + system_place(u);
    }
    static void report(const SptiSystem &system, const std::string &line) { report_once(system, line); }
    static void execute(const SptiSystem &system, Unit &u, const ScsiCommand &c, ScsiOutcome &o,
                        const CancelToken &cancel) {
        spti::execute(system, &u, c, o, cancel);
    }
};

using Frame = real_drive::Frame<SptiDrives>;

}  // namespace

const Backend &spti_backend() { return Frame::backend(); }

void use_system(const SptiSystem *system) { Frame::use_system(system); }

}  // namespace passthru::spti
