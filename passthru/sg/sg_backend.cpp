#include "passthru/sg/sg_backend.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/library_host.h"
#include "passthru/messages.h"
#include "passthru/real_drive/frame.h"
#include "passthru/sg/enumerate.h"
#include "passthru/sg/sg_result.h"

namespace passthru::sg {
namespace {

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

void execute(const SgSystem &system, Unit *u, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
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

// The sg back end's half of the real-drive frame.
struct SgDrives {
    using System = SgSystem;
    using Adapter = SgAdapter;
    static constexpr const char *kName = "sg";

    static const SgSystem &real_system() { return real_sg_system(); }
    static std::vector<SgAdapter> enumerate(const SgSystem &system) { return enumerate_adapters(system); }
    static void close(const SgSystem &system, std::vector<SgAdapter> &adapters) { close_adapters(system, adapters); }
    static AdapterIdentity identity(const SgAdapter &a) {
        AdapterIdentity id{};
        real_drive::name_adapter(id, msg::sg_adapter_name(a.host, a.channel));
        id.own_scsi_id = static_cast<std::uint8_t>(a.own_scsi_id);
        id.max_transfer = a.max_transfer;
        return id;
    }
    static int device_type(const Unit &u) { return u.device_type; }
    static std::string describe(const Unit &u) {
        return u.node + " " + msg::vendor_and_model(u.vendor, u.model) + " " +
               msg::sg_place(u.kernel.host, u.kernel.channel, u.kernel.target, u.kernel.lun) + ", " +
               (u.writable ? msg::sg_open_read_write : msg::sg_open_read_only);
    }
    static void report(const SgSystem &system, const std::string &line) { sg::report(system, line); }
    static void execute(const SgSystem &system, Unit &u, const ScsiCommand &c, ScsiOutcome &o,
                        const CancelToken &cancel) {
        sg::execute(system, &u, c, o, cancel);
    }
};

using Frame = real_drive::Frame<SgDrives>;

}  // namespace

const Backend &sg_backend() { return Frame::backend(); }

void use_system(const SgSystem *system) { Frame::use_system(system); }

}  // namespace passthru::sg
