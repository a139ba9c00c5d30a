#include "passthru/spti/enumerate.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <new>
#include <optional>
#include <utility>

#include "passthru/messages.h"
#include "passthru/real_drive/numbering.h"
#include "platform/platform.h"

namespace passthru::spti {
namespace {

constexpr DWORD kDescriptorBytes = 512;
constexpr int kUnplacedTarget = 255;  // a made-up address for a drive without a device number

// What the system writes for the queries, as the documentation lays it out.
static_assert(sizeof(SCSI_ADDRESS) == 8 && offsetof(SCSI_ADDRESS, PortNumber) == 4 && offsetof(SCSI_ADDRESS, Lun) == 7);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12 && offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) == 4);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == 20);

// A drive found under one or more names: the name its commands go to, with a handle for queries.
struct Found {
    std::string name;
    std::optional<ScsiAddress> address;
    int device_number = kNoDeviceNumber;
    HANDLE query = nullptr;
};

std::string cdrom_prefix() { return "\\\\.\\CdRom"; }

std::vector<std::string> candidate_names(const SptiSystem &system) {
    std::vector<std::string> names;
    const DWORD drives = system.logical_drives();
    for (int i = 0; i < 26; ++i) {
        if (!(drives & (DWORD{1} << i))) continue;
        const char letter = static_cast<char>('A' + i);
        const char root[] = {letter, ':', '\\', '\0'};
        if (system.drive_type(root) == DRIVE_CDROM) names.push_back(std::string("\\\\.\\") + letter + ":");
    }
    for (int n = 0; n < kCdRomNames; ++n) names.push_back(cdrom_prefix() + std::to_string(n));
    return names;
}

bool is_letter_name(const std::string &name) { return name.size() == 6 && name[5] == ':'; }

// N for "<prefix>N", else kNoDeviceNumber.
int number_after(const std::string &name, const std::string &prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return kNoDeviceNumber;
    int n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 1000) return kNoDeviceNumber;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// N for "\\.\CdRomN"; for "\\.\D:", N of the "\Device\CdRomN" the letter stands for.
int number_by_name(const SptiSystem &system, const std::string &name) {
    if (!is_letter_name(name)) return number_after(name, cdrom_prefix());
    char target[512] = {};
    if (system.dos_device(name.substr(4).c_str(), target, sizeof target - 1) == 0) return kNoDeviceNumber;
    return number_after(target, "\\Device\\CdRom");
}

std::optional<ScsiAddress> ask_address(const SptiSystem &system, HANDLE query, HANDLE event) {
    SCSI_ADDRESS a{};
    DWORD returned = 0;
    if (run_ioctl(system, query, event, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned) != 0 ||
        returned < sizeof a)
        return std::nullopt;
    return ScsiAddress{a.PortNumber, a.PathId, a.TargetId, a.Lun};
}

// The class driver's number of the drive behind `name` (N of its \\.\CdRomN).
int ask_device_number(const SptiSystem &system, HANDLE query, HANDLE event, const std::string &name) {
    STORAGE_DEVICE_NUMBER n{};
    DWORD returned = 0;
    const bool told = run_ioctl(system, query, event, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n,
                                &returned) == 0 &&
                      returned >= sizeof n && (n.DeviceType == FILE_DEVICE_CD_ROM || n.DeviceType == FILE_DEVICE_DVD) &&
                      n.DeviceNumber < 0x10000;
    return told ? static_cast<int>(n.DeviceNumber) : number_by_name(system, name);
}

bool same_drive(const Found &f, const std::optional<ScsiAddress> &address, int device_number) {
    return (device_number != kNoDeviceNumber && f.device_number == device_number) ||
           (address && f.address && *f.address == *address);
}

// Every drive once, with a handle for queries.
std::vector<Found> find_drives(const SptiSystem &system, HANDLE event) {
    std::vector<Found> found;
    for (const std::string &name : candidate_names(system)) {
        DWORD error = 0;
        HANDLE query = system.open_device(name.c_str(), 0, &error);
        if (!query) {
            const bool unknown = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
            if (!unknown || is_letter_name(name)) report_once(system, msg::cannot_open(name, why_not(error)));
            continue;
        }
        const std::optional<ScsiAddress> address = ask_address(system, query, event);
        const int number = ask_device_number(system, query, event, name);
        const auto it = std::find_if(found.begin(), found.end(),
                                     [&](const Found &f) { return same_drive(f, address, number); });
        if (it == found.end()) {
            found.push_back({name, address, number, query});
            continue;
        }
        // Another name of a drive already found: it may tell what the first did not.
        if (it->device_number == kNoDeviceNumber) it->device_number = number;
        if (!it->address && address) {
            system.close_handle(it->query);
            *it = {name, address, it->device_number, query};
            continue;
        }
        system.close_handle(query);
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

// What the user is told about a drive that could not be opened for reading and writing.
void report_open(const SptiSystem &system, const Unit &u, DWORD error) {
    if (u.read_only) report_once(system, msg::spti_read_only(u.name));
    else if (!u.device) report_once(system, msg::spti_cannot_open_now(u.name, why_not(error)));
}

// The unit for a found drive, opened for commands where it can be; false (after saying why) when
// it cannot be kept.
bool open_unit(const SptiSystem &system, Found &f, HANDLE event, Unit &u) {
    u.address = f.address.value_or(
        ScsiAddress{kMadeUpPort, 0, f.device_number == kNoDeviceNumber ? kUnplacedTarget : f.device_number, 0});
    u.device_number = f.device_number;
    u.name = f.name;
    const auto adapter = query_property(system, f.query, event, StorageAdapterProperty);
    u.limits = adapter_limits(adapter.data(), adapter.size());
    const auto device = query_property(system, f.query, event, StorageDeviceProperty);
    device_names(device.data(), device.size(), u.vendor, u.model, &u.revision);
    system.close_handle(f.query);
    f.query = nullptr;

    u.event = system.create_event();
    if (!u.event) {
        report_once(system, msg::spti_no_event(u.name));
        return false;
    }
    DWORD error = 0;
    open_for_commands(system, u, &error);
    report_open(system, u, error);
    return true;
}

void release_unit(const SptiSystem &system, Unit &u) {
    if (u.device) system.close_handle(u.device);
    if (u.event) system.close_handle(u.event);
    u.device = u.event = nullptr;
}

// Gives every unit of one adapter its ASPI target and LUN, the adapter its own id and limits.
void number_units(const SptiSystem &system, SptiAdapter &adapter) {
    adapter.own_scsi_id = real_drive::number_units(
        adapter.units, [](const Unit &u) { return real_drive::Slot{u.address.target, u.address.lun}; },
        [&system](Unit &u) {
            report_once(system, msg::no_free_slot(u.name));
            release_unit(system, u);
        });
    if (adapter.units.empty()) return;
    adapter.limits = adapter.units.front().limits;
    for (const Unit &u : adapter.units) {
        adapter.limits.max_transfer = std::min(adapter.limits.max_transfer, u.limits.max_transfer);
        adapter.limits.alignment_mask |= u.limits.alignment_mask;
    }
}

}  // namespace

void AlignedFree::operator()(std::uint8_t *p) const { _aligned_free(p); }

bool open_for_commands(const SptiSystem &system, Unit &u, DWORD *error) {
    u.read_only = false;
    u.device = system.open_device(u.name.c_str(), GENERIC_READ | GENERIC_WRITE, error);
    if (u.device || *error != ERROR_ACCESS_DENIED) return u.device != nullptr;
    DWORD read_error = 0;
    u.device = system.open_device(u.name.c_str(), GENERIC_READ, &read_error);
    u.read_only = u.device != nullptr;
    if (!u.device && read_error != ERROR_ACCESS_DENIED) *error = read_error;
    return u.device != nullptr;
}

void report_once(const SptiSystem &system, const std::string &line) {
    const std::string text = msg::real_drive_prefix + line;
    if (platform::first_report_in_this_run(text)) system.report(text.c_str());
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
    case ERROR_ACCESS_DENIED: return msg::spti_access_denied;
    case ERROR_SHARING_VIOLATION: return msg::spti_sharing_violation;
    default: return msg::spti_windows_error(error);
    }
}

std::vector<SptiAdapter> enumerate_adapters(const SptiSystem &system) {
    std::vector<SptiAdapter> adapters;
    HANDLE event = system.create_event();
    if (!event) {
        report_once(system, msg::spti_no_query_event);
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
    // Drives without an address on the made-up adapter, after the real ones, by device number,
    // then name: the same drives get the same places every run.
    std::vector<std::pair<int, int>> buses;
    for (const auto &[bus, adapter] : by_bus)
        if (bus.first != kMadeUpPort) buses.push_back(bus);
    if (by_bus.count({kMadeUpPort, 0})) {
        buses.push_back({kMadeUpPort, 0});
        std::sort(by_bus[{kMadeUpPort, 0}].units.begin(), by_bus[{kMadeUpPort, 0}].units.end(),
                  [](const Unit &a, const Unit &b) {
                      // Without a number (negative) after every number.
                      const auto key = [](const Unit &u) { return std::pair(static_cast<unsigned>(u.device_number), u.name); };
                      return key(a) < key(b);
                  });
    }
    for (const auto &bus : buses) {
        SptiAdapter &adapter = by_bus[bus];
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
