#include "passthru/spti/enumerate.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <malloc.h>

#include <algorithm>
#include <map>
#include <new>
#include <utility>

namespace passthru::spti {
namespace {

constexpr int kAspiTargets = 16;
constexpr int kAspiLuns = 8;
constexpr int kPreferredOwnId = 7;
constexpr DWORD kDescriptorBytes = 512;

// A name the system knows, with its address and a handle for queries.
struct Found {
    std::string name;
    ScsiAddress address;
    HANDLE query = nullptr;
};

void report(const SptiSystem &system, const std::string &line) { system.report(("cddaplay: " + line).c_str()); }

std::vector<std::string> candidate_names(const SptiSystem &system) {
    std::vector<std::string> names;
    const DWORD drives = system.logical_drives();
    for (int i = 0; i < 26; ++i) {
        if (!(drives & (DWORD{1} << i))) continue;
        const char letter = static_cast<char>('A' + i);
        const char root[] = {letter, ':', '\\', '\0'};
        if (system.drive_type(root) == DRIVE_CDROM) names.push_back(std::string("\\\\.\\") + letter + ":");
    }
    for (int n = 0; n < kCdRomNames; ++n) names.push_back("\\\\.\\CdRom" + std::to_string(n));
    return names;
}

bool is_letter_name(const std::string &name) { return name.size() == 6 && name[5] == ':'; }

// Every drive once, under its first name, with a handle for queries.
std::vector<Found> find_drives(const SptiSystem &system, HANDLE event) {
    std::vector<Found> found;
    for (const std::string &name : candidate_names(system)) {
        DWORD error = 0;
        HANDLE query = system.open_device(name.c_str(), 0, &error);
        if (!query) {
            const bool unknown = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
            if (!unknown || is_letter_name(name)) report(system, "cannot open " + name + ": " + why_not(error));
            continue;
        }
        SCSI_ADDRESS a{};
        DWORD returned = 0;
        error = run_ioctl(system, query, event, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned);
        if (error == 0 && returned < sizeof a) error = ERROR_INSUFFICIENT_BUFFER;
        if (error != 0) {
            system.close_handle(query);
            report(system, name + " does not tell its SCSI address (Windows error " + std::to_string(error) +
                               "); left out");
            continue;
        }
        const ScsiAddress address{a.PortNumber, a.PathId, a.TargetId, a.Lun};
        if (std::any_of(found.begin(), found.end(), [&](const Found &f) { return f.address == address; })) {
            system.close_handle(query);  // another name of a drive already listed
            continue;
        }
        found.push_back({name, address, query});
    }
    return found;
}

// The descriptor of `property` (StorageAdapterProperty, StorageDeviceProperty); empty without one.
std::vector<std::uint8_t> query_property(const SptiSystem &system, HANDLE device, HANDLE event, int property) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = static_cast<STORAGE_PROPERTY_ID>(property);
    query.QueryType = PropertyStandardQuery;
    std::vector<std::uint8_t> out(kDescriptorBytes, 0);
    DWORD returned = 0;
    if (run_ioctl(system, device, event, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(),
                  kDescriptorBytes, &returned) != 0)
        return {};
    out.resize(std::min<DWORD>(returned, kDescriptorBytes));
    return out;
}

// The unit for a found drive, opened for commands; false (after saying why) when it cannot be.
bool open_unit(const SptiSystem &system, Found &f, HANDLE event, Unit &u) {
    u.address = f.address;
    u.name = f.name;
    const auto adapter = query_property(system, f.query, event, StorageAdapterProperty);
    u.limits = adapter_limits(adapter.data(), adapter.size());
    const auto device = query_property(system, f.query, event, StorageDeviceProperty);
    device_names(device.data(), device.size(), u.vendor, u.model);
    system.close_handle(f.query);
    f.query = nullptr;

    DWORD error = 0;
    u.device = open_for_commands(system, u.name, &error);
    if (!u.device) {
        report(system, "cannot open " + u.name + " for reading and writing: " + why_not(error));
        return false;
    }
    u.event = system.create_event();
    if (!u.event) {
        system.close_handle(u.device);
        report(system, u.name + ": no event for its commands (Windows is out of resources); left out");
        return false;
    }
    return true;
}

int choose_own_id(const bool (&target_used)[kAspiTargets]) {
    if (!target_used[kPreferredOwnId]) return kPreferredOwnId;
    for (int t = kAspiTargets - 1; t >= 0; --t)
        if (!target_used[t]) return t;
    return kNoFreeTarget;
}

void release_unit(const SptiSystem &system, Unit &u) {
    if (u.device) system.close_handle(u.device);
    if (u.event) system.close_handle(u.event);
    u.device = u.event = nullptr;
}

// Gives every unit of one adapter its ASPI target and LUN, the adapter its own id and limits.
void number_units(const SptiSystem &system, SptiAdapter &adapter) {
    bool slot_used[kAspiTargets][kAspiLuns] = {};
    bool target_used[kAspiTargets] = {};
    std::vector<Unit> placed, misfits;
    for (Unit &u : adapter.units) {
        if (u.address.target < kAspiTargets && u.address.lun < kAspiLuns) {
            u.target = u.address.target;
            u.lun = u.address.lun;
            slot_used[u.target][u.lun] = target_used[u.target] = true;
            placed.push_back(std::move(u));
        } else {
            misfits.push_back(std::move(u));
        }
    }
    adapter.own_scsi_id = choose_own_id(target_used);
    const auto take_slot = [&](Unit &u, bool unused_target_only) {
        for (int t = 0; t < kAspiTargets; ++t) {
            if (t == adapter.own_scsi_id || (unused_target_only && target_used[t])) continue;
            for (int l = 0; l < (unused_target_only ? 1 : kAspiLuns); ++l) {
                if (slot_used[t][l]) continue;
                u.target = t;
                u.lun = l;
                slot_used[t][l] = target_used[t] = true;
                return true;
            }
        }
        return false;
    };
    for (Unit &u : misfits) {
        if (take_slot(u, true) || take_slot(u, false)) {
            placed.push_back(std::move(u));
            continue;
        }
        report(system, u.name + ": no free target/LUN on its adapter; left out");
        release_unit(system, u);
    }
    std::sort(placed.begin(), placed.end(),
              [](const Unit &a, const Unit &b) { return std::pair(a.target, a.lun) < std::pair(b.target, b.lun); });
    adapter.units = std::move(placed);
    if (adapter.units.empty()) return;
    adapter.limits = adapter.units.front().limits;
    for (const Unit &u : adapter.units) {
        adapter.limits.max_transfer = std::min(adapter.limits.max_transfer, u.limits.max_transfer);
        adapter.limits.alignment_mask |= u.limits.alignment_mask;
    }
}

}  // namespace

void AlignedFree::operator()(std::uint8_t *p) const { _aligned_free(p); }

HANDLE open_for_commands(const SptiSystem &system, const std::string &name, DWORD *error) {
    return system.open_device(name.c_str(), GENERIC_READ | GENERIC_WRITE, error);
}

DWORD run_ioctl(const SptiSystem &system, HANDLE device, HANDLE event, DWORD code, void *in, DWORD in_size, void *out,
                DWORD out_size, DWORD *returned) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    const DWORD error = system.start_ioctl(device, code, in, in_size, out, out_size, &overlapped, returned);
    return error == ERROR_IO_PENDING ? system.wait_ioctl(device, &overlapped, INFINITE, returned) : error;
}

std::string why_not(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return "access denied (start cddaplay as administrator, or close the program that has the drive to itself)";
    case ERROR_SHARING_VIOLATION: return "another program has the drive to itself (close it, then start cddaplay again)";
    default: return "Windows error " + std::to_string(error);
    }
}

std::vector<SptiAdapter> enumerate_adapters(const SptiSystem &system) {
    std::vector<SptiAdapter> adapters;
    HANDLE event = system.create_event();
    if (!event) {
        report(system, "no event for the drive queries (Windows is out of resources); real drives left out");
        return adapters;
    }
    std::vector<Found> found = find_drives(system, event);
    std::map<std::pair<int, int>, SptiAdapter> by_bus;  // ordered by port, then path
    for (Found &f : found) {
        Unit u;
        if (!open_unit(system, f, event, u)) continue;
        SptiAdapter &a = by_bus[{u.address.port, u.address.path}];
        a.port = u.address.port;
        a.path = u.address.path;
        a.units.push_back(std::move(u));
    }
    system.close_handle(event);
    for (auto &[bus, adapter] : by_bus) {
        number_units(system, adapter);
        if (!adapter.units.empty()) adapters.push_back(std::move(adapter));
    }
    return adapters;
}

void close_adapters(const SptiSystem &system, std::vector<SptiAdapter> &adapters) {
    for (SptiAdapter &a : adapters)
        for (Unit &u : a.units) release_unit(system, u);
    adapters.clear();
}

}  // namespace passthru::spti
