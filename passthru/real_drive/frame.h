#pragma once
// The frame of a real-drive back end (sg, spti): the Backend table over the adapters enumeration
// found, the test seam for the system calls, and the lines that describe the units. Each back end
// brings only its system: how units are found and closed, how an adapter names itself, and how a
// command runs on a unit.
//
// `Drives` is the back end's half, a struct of types and static functions:
//   System                         its table of system calls (a test installs a fake one)
//   Adapter                        with `units` (each with ASPI `target` and `lun`), sorted
//   kName                          the back end's name ("sg", "spti")
//   real_system()                  the running system's calls
//   enumerate(system)              finds and opens the units (main thread, from open)
//   close(system, adapters)        releases what enumerate acquired
//   identity(adapter)              the adapter's AdapterIdentity
//   device_type(unit)              the unit's peripheral device type
//   describe(unit)                 what CDDAPLAY_DESCRIBE=1 says of it after its ASPI address:
//                                  "NAME VENDOR MODEL (where the system puts it)..."
//   report(system, line)           one line for people on standard error ("cddaplay: " added)
//   execute(system, unit, command, outcome, cancel)
//                                  runs one command on a unit; `outcome` starts as ScsiOutcome{}
//
// Threads and state as backend.h says: open and close on the manager's set-up and tear-down; the
// adapters are fixed by open and read-only until close, except each unit's own handle on the
// system, which only execute touches after open (one command at a time, handed over between the
// manager's threads under its own lock).

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "aspi/aspi32.h"
#include "passthru/backend.h"
#include "passthru/messages.h"

namespace passthru::real_drive {

// HA_Identifier: `name`, cut to its 16 characters.
inline void name_adapter(AdapterIdentity &id, const std::string &name) {
    name.copy(id.name, sizeof id.name - 1);
    id.name[std::min(name.size(), sizeof id.name - 1)] = '\0';
}

template <typename Drives>
class Frame {
public:
    using System = typename Drives::System;
    using Adapter = typename Drives::Adapter;
    using Unit = typename decltype(Adapter::units)::value_type;

    static const Backend &backend() { return kTable; }

    // Test seam: the system calls the back end makes from its next open on (null: the real ones).
    // Call only while the back end is closed; `system` must outlive its use.
    static void use_system(const System *system) { seam_ = system; }

private:
    struct State {
        const System *system;
        std::vector<Adapter> adapters;
    };

    static void open() {
        auto *state = new State{seam_ ? seam_ : &Drives::real_system(), {}};
        state->adapters = Drives::enumerate(*state->system);
        state_ = state;
        if (describe_wanted()) describe_units(*state_);
    }

    static void close() {
        if (!state_) return;
        Drives::close(*state_->system, state_->adapters);
        delete state_;
        state_ = nullptr;
    }

    static int adapter_count() { return state_ ? static_cast<int>(state_->adapters.size()) : 0; }

    static Adapter *adapter_at(int adapter) {
        return adapter >= 0 && adapter < adapter_count() ? &state_->adapters[static_cast<std::size_t>(adapter)] : nullptr;
    }

    static AdapterIdentity adapter_identity(int adapter) {
        const Adapter *a = adapter_at(adapter);
        return a ? Drives::identity(*a) : AdapterIdentity{};
    }

    static Unit *unit_at(int adapter, int target, int lun) {
        Adapter *a = adapter_at(adapter);
        if (!a) return nullptr;
        for (Unit &u : a->units)
            if (u.target == target && u.lun == lun) return &u;
        return nullptr;
    }

    static int device_type(int adapter, int target, int lun) {
        const Unit *u = unit_at(adapter, target, lun);
        return u ? Drives::device_type(*u) : kNoDevice;
    }

    static void execute(int adapter, int target, int lun, const ScsiCommand &c, ScsiOutcome &o,
                        const CancelToken &cancel) {
        o = ScsiOutcome{};
        Unit *u = unit_at(adapter, target, lun);
        if (!u) {
            o.aspi_status = SS_NO_DEVICE;
            return;
        }
        Drives::execute(*state_->system, *u, c, o, cancel);
    }

    static void describe_units(const State &s) {
        const int first = first_adapter_number(kTable);
        for (std::size_t a = 0; a < s.adapters.size(); ++a)
            for (const Unit &u : s.adapters[a].units)
                Drives::report(*s.system, msg::unit_line(first + static_cast<int>(a), u.target, u.lun, Drives::describe(u)));
    }

    static inline const System *seam_ = nullptr;  // the test seam; null: the real calls
    static inline State *state_ = nullptr;        // plain pointer: no destructor may run before the unload path
    static constexpr Backend kTable{Drives::kName, open, close, adapter_count, adapter_identity, device_type, execute};
};

}  // namespace passthru::real_drive
