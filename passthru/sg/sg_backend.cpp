#include "passthru/sg/sg_backend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/sg/enumerate.h"
#include "passthru/sg/sg_result.h"

namespace passthru::sg {
namespace {

struct State {
    const SgSystem *system;
    std::vector<SgAdapter> adapters;
};

const SgSystem *g_system = nullptr;  // the test seam; null: the real calls
State *g_state = nullptr;            // plain pointer: no destructor may run before the unload path

const SgSystem &system_in_use() { return g_system ? *g_system : real_sg_system(); }

void describe_units(const State &s) {
    const int first = first_adapter_number(sg_backend());
    for (std::size_t a = 0; a < s.adapters.size(); ++a) {
        for (const Unit &u : s.adapters[a].units) {
            const std::string who = u.vendor.empty() && u.model.empty() ? "(vendor and model unknown)" : u.vendor + " " + u.model;
            char line[512];
            std::snprintf(line, sizeof line, "cddaplay: adapter %d target %d lun %d: %s %s (scsi %d:%d:%d:%d)",
                          first + static_cast<int>(a), u.target, u.lun, u.node.c_str(), who.c_str(), u.kernel.host,
                          u.kernel.channel, u.kernel.target, u.kernel.lun);
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

const SgAdapter *adapter_at(int adapter) {
    return g_state && adapter >= 0 && adapter < adapter_count() ? &g_state->adapters[static_cast<std::size_t>(adapter)]
                                                                 : nullptr;
}

AdapterIdentity adapter_identity(int adapter) {
    AdapterIdentity id{};
    if (const SgAdapter *a = adapter_at(adapter)) {
        std::snprintf(id.name, sizeof id.name, "sg scsi%d:%d", a->host, a->channel);
        id.own_scsi_id = static_cast<std::uint8_t>(a->own_scsi_id);
        id.max_transfer = a->max_transfer;
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
    const Unit *u = unit_at(adapter, target, lun);
    return u ? u->device_type : kNoDevice;
}

void execute(int adapter, int target, int lun, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
    o = ScsiOutcome{};
    Unit *u = unit_at(adapter, target, lun);
    if (!u) {
        o.aspi_status = SS_NO_DEVICE;
        return;
    }
    const SgSystem &system = *g_state->system;
    if (u->fd < 0) {
        const int fd = system.open_node(u->node.c_str());
        if (fd < 0) return map_submit_error(-fd, c, u->max_transfer, o);
        u->fd = fd;
    }
    std::uint8_t sense[kKernelSenseBytes] = {};
    sg_io_hdr_t header = make_header(c, sense);
    const int result = system.sg_io(u->fd, &header);
    if (result == 0) return map_completion(header, c, cancel.cancelled(), o);
    if (result == -ENODEV || result == -ENXIO) {  // the node is gone: the next command opens it anew
        system.close_node(u->fd);
        u->fd = -1;
    }
    map_submit_error(-result, c, u->max_transfer, o);
}

constexpr Backend kSgBackend{"sg", open_backend, close_backend, adapter_count, adapter_identity, device_type, execute};

}  // namespace

const Backend &sg_backend() { return kSgBackend; }

void use_system(const SgSystem *system) { g_system = system; }

}  // namespace passthru::sg
