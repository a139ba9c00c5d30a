#include "passthru/sg/sg_backend.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/library_host.h"
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
            std::snprintf(line, sizeof line, "cddaplay: adapter %d target %d lun %d: %s %s (scsi %d:%d:%d:%d), %s",
                          first + static_cast<int>(a), u.target, u.lun, u.node.c_str(), who.c_str(), u.kernel.host,
                          u.kernel.channel, u.kernel.target, u.kernel.lun,
                          u.writable ? "open for reading and writing"
                                     : "open for reading only (the drive takes no reading speed)");
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

// One SG_IO on a thread of its own. The ioctl returns only when the device lets go of the command,
// which for a drive that never answers is long after the header's time-out (the kernel aborts at
// once, then waits for the device, 30 s with the kernel's SCSI target). Nothing comes of that
// wait, so the worker waits only until the manager gives the command up or the kernel's time-out
// and a grace have passed, and then leaves the thread behind with its own copies of the data and
// sense buffers: the commands queued after it reach the drive before the program's own wait for
// them (10 s) runs out, instead of each timing out behind the stuck one. The submission is shared by the two threads; the mutex guards `finished` and, once
// set, the ioctl's results.
struct Submission {
    std::mutex mutex;
    std::condition_variable finished_changed;
    bool finished = false;
    int result = 0;
    sg_io_hdr_t header{};
    std::vector<std::uint8_t> data;
    std::uint8_t sense[kKernelSenseBytes] = {};
};

// A command the kernel still holds after this much is left to itself.
constexpr std::chrono::milliseconds kAbandonAfter = kCommandTimeout + std::chrono::milliseconds{500};
constexpr std::chrono::milliseconds kCancelPoll{50};

// True when the ioctl finished (its results are in `s`); false when it was left behind. A thread
// that finished is joined before this returns: none may still be running the library's code when
// the program unloads it. One left behind pins the library in memory instead.
bool run_sg_io(const SgSystem &system, int fd, const std::shared_ptr<Submission> &s, const CancelToken &cancel) {
    std::thread call;
    try {
        call = std::thread([&system, fd, s] {
            const int result = system.sg_io(fd, &s->header);
            {
                std::lock_guard lock(s->mutex);
                s->result = result;
                s->finished = true;
            }
            s->finished_changed.notify_all();
        });
    } catch (const std::system_error &) {
        s->result = system.sg_io(fd, &s->header);  // no thread to be had: the plain blocking call
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + kAbandonAfter;
    std::unique_lock lock(s->mutex);
    for (;;) {
        if (s->finished_changed.wait_for(lock, kCancelPoll, [&] { return s->finished; })) {
            lock.unlock();
            call.join();
            return true;
        }
        if (cancel.cancelled() || std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            pin_library();  // the thread returns into this code, perhaps after the library's unload
            call.detach();
            return false;
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
    const SgSystem &system = *g_state->system;
    if (u->fd < 0) {
        const int fd = open_unit_node(system, u->node, u->writable);
        if (fd < 0) return map_submit_error(-fd, c, u->max_transfer, o);
        u->fd = fd;
    }
    auto s = std::make_shared<Submission>();
    s->data.assign(c.data, c.data + (c.data ? c.data_length : 0));
    ScsiCommand own = c;
    own.data = s->data.data();
    s->header = make_header(own, s->sense);
    if (!run_sg_io(system, u->fd, s, cancel)) {
        o.host_status = HASTAT_COMMAND_TIMEOUT;
        return;
    }
    const int result = s->result;
    if (result == 0) {
        map_completion(s->header, c, cancel.cancelled(), o);
        if (c.direction == DataDirection::in && !s->data.empty()) std::memcpy(c.data, s->data.data(), s->data.size());
        return;
    }
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
