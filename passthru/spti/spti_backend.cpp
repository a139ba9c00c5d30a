#include "passthru/spti/spti_backend.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/spti/enumerate.h"
#include "passthru/spti/spti_result.h"

namespace passthru::spti {
namespace {

struct State {
    const SptiSystem *system;
    std::vector<SptiAdapter> adapters;
};

const SptiSystem *g_system = nullptr;  // the test seam; null: the real calls
State *g_state = nullptr;              // plain pointer: no destructor may run before the unload path

const SptiSystem &system_in_use() { return g_system ? *g_system : real_spti_system(); }

void describe_units(const State &s) {
    const int first = first_adapter_number(spti_backend());
    for (std::size_t a = 0; a < s.adapters.size(); ++a) {
        for (const Unit &u : s.adapters[a].units) {
            const std::string who = u.vendor.empty() && u.model.empty() ? "(vendor and model unknown)" : u.vendor + " " + u.model;
            char line[512];
            std::snprintf(line, sizeof line, "cddaplay: adapter %d target %d lun %d: %s %s (port %d path %d target %d lun %d)",
                          first + static_cast<int>(a), u.target, u.lun, u.name.c_str(), who.c_str(), u.address.port,
                          u.address.path, u.address.target, u.address.lun);
            s.system->report(line);
        }
    }
}

void open_backend() {
    auto *state = new State{&system_in_use(), {}};
    state->adapters = enumerate_adapters(*state->system);
    g_state = state;
    if (describe_wanted()) describe_units(*g_state);
}

void close_backend() {
    if (!g_state) return;
    close_adapters(*g_state->system, g_state->adapters);
    delete g_state;
    g_state = nullptr;
}

int adapter_count() { return g_state ? static_cast<int>(g_state->adapters.size()) : 0; }

const SptiAdapter *adapter_at(int adapter) {
    return g_state && adapter >= 0 && adapter < adapter_count() ? &g_state->adapters[static_cast<std::size_t>(adapter)]
                                                                 : nullptr;
}

AdapterIdentity adapter_identity(int adapter) {
    AdapterIdentity id{};
    if (const SptiAdapter *a = adapter_at(adapter)) {
        std::snprintf(id.name, sizeof id.name, "spti port%d:%d", a->port, a->path);
        id.own_scsi_id = static_cast<std::uint8_t>(a->own_scsi_id);
        id.max_transfer = a->limits.max_transfer;
        id.alignment_mask = static_cast<std::uint16_t>(a->limits.alignment_mask);
    }
    return id;
}

Unit *unit_at(int adapter, int target, int lun) {
    if (!adapter_at(adapter)) return nullptr;
    for (Unit &u : g_state->adapters[static_cast<std::size_t>(adapter)].units)
        if (u.target == target && u.lun == lun) return &u;
    return nullptr;
}

int device_type(int adapter, int target, int lun) {
    return unit_at(adapter, target, lun) ? 5 : kNoDevice;  // every drive found is a CD-ROM drive
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

// Waits for a pending pass-through to end; cancels it once the manager gives it up, and still
// waits for its end. Returns how it ended.
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

void execute(int adapter, int target, int lun, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
    o = ScsiOutcome{};
    Unit *u = unit_at(adapter, target, lun);
    if (!u) {
        o.aspi_status = SS_NO_DEVICE;
        return;
    }
    if (c.data_length > u->limits.max_transfer) {
        o.aspi_status = SS_BUFFER_TO_BIG;
        return;
    }
    const SptiSystem &system = *g_state->system;
    if (!u->device) {
        DWORD error = 0;
        u->device = open_for_commands(system, u->name, &error);
        if (!u->device) return map_error(error, c, u->limits.max_transfer, false, o);
    }
    std::uint8_t *data = c.data;
    const bool bounce = c.data_length > 0 && misaligned(c.data, u->limits.alignment_mask);
    if (bounce) {
        data = bounce_buffer(*u, c.data_length);
        if (!data) {
            o.aspi_status = SS_ASPI_IS_BUSY;
            return;
        }
        if (c.direction == DataDirection::out) std::memcpy(data, c.data, c.data_length);
    }
    PassThroughPacket packet = make_packet(c, data, u->address);
    OVERLAPPED overlapped{};
    overlapped.hEvent = u->event;
    DWORD returned = 0;
    DWORD error = system.start_ioctl(u->device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &packet, sizeof packet, &packet,
                                     sizeof packet, &overlapped, &returned);
    if (error == ERROR_IO_PENDING) error = wait_for_end(system, *u, overlapped, c, cancel, returned);
    // From here on the system is done with the packet and the data buffer.
    if (error != 0) {
        if (drive_gone(error)) {
            system.close_handle(u->device);
            u->device = nullptr;
        }
        return map_error(error, c, u->limits.max_transfer, cancel.cancelled(), o);
    }
    map_completion(packet, c, o);
    if (bounce && c.direction == DataDirection::in && o.transferred > 0) std::memcpy(c.data, data, o.transferred);
}

constexpr Backend kSptiBackend{"spti", open_backend, close_backend, adapter_count, adapter_identity, device_type, execute};

}  // namespace

const Backend &spti_backend() { return kSptiBackend; }

void use_system(const SptiSystem *system) { g_system = system; }

}  // namespace passthru::spti
