#pragma once
// What the tests of a real-drive back end (sg, spti) share: the back end list they link in place
// of the library's own (a stand-in for the virtual drives, adapters but no units, how many set per
// test; then the back end under test), the back end opened over the current made-up machine, and
// one command run on it. The made-up machines themselves are each back end's own (fake_system.h).

#include <cstdint>
#include <utility>
#include <vector>

#include "passthru/backend.h"

namespace real_drive_test {

// ---- Defined by each back end's tests, beside its made-up machine ----
const passthru::Backend &backend_under_test();
// The back end's next open uses the current made-up machine's system calls (true) or the real
// ones (false).
void use_fake_system(bool fake);

// ---- Shared ----
// Adapters of the virtual drives' stand-in, before the back end's. Set while the back end is closed.
void set_virtual_adapters(int count);

// The back end opened over the current made-up machine, closed (and the real calls back) at its end.
struct OpenBackend {
    OpenBackend();
    ~OpenBackend();
    OpenBackend(const OpenBackend &) = delete;
    OpenBackend &operator=(const OpenBackend &) = delete;
};

// Runs `command` on the unit at adapter 0, `target`, `lun`, from an outcome execute must clear;
// `given_up`: the manager has given the command up already.
passthru::ScsiOutcome run_command(int target, int lun, const passthru::ScsiCommand &command, bool given_up = false);

// Adapter `adapter` of the opened back end (backend_under_test) is named `name`, reports the own
// id 7 that the numbering gives every adapter here, and takes at most `max_transfer` bytes.
void expect_adapter(int adapter, const char *name, std::uint32_t max_transfer);

// Each adapter's two bus numbers (sg: host and channel; spti: port and path), in walk order.
template <class Adapter>
std::vector<std::pair<int, int>> buses(const std::vector<Adapter> &adapters, int Adapter::*first, int Adapter::*second) {
    std::vector<std::pair<int, int>> out;
    for (const Adapter &a : adapters) out.emplace_back(a.*first, a.*second);
    return out;
}

}  // namespace real_drive_test
