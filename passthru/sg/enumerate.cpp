#include "passthru/sg/enumerate.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <optional>

#include "passthru/messages.h"
#include "passthru/real_drive/numbering.h"
#include "passthru/text.h"

namespace passthru::sg {
namespace {

constexpr std::uint64_t kMaxTransferKib = 0xFFFFFFFFu / 1024;

struct Candidate {
    std::string name;  // "sr0", "sg3"
    bool is_sr = false;
    int number = 0;
    std::optional<KernelAddress> kernel;
    int fd = -1;  // opened early when sysfs did not give the address
    bool writable = false;
};

bool is_permission_error(int error) { return error == EACCES || error == EPERM || error == EROFS; }

bool parse_number(std::string_view text, int &value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc{} && end == text.data() + text.size() && value >= 0;
}

// "sr12" -> number 12 when `name` is the prefix followed by digits only.
bool node_number(const std::string &name, const char *prefix, int &number) {
    return name.rfind(prefix, 0) == 0 && parse_number(std::string_view(name).substr(2), number);
}

std::optional<std::string> attribute(const SgSystem &system, const std::string &path) {
    std::string text;
    if (!system.read_file(path.c_str(), text)) return std::nullopt;
    return std::string(trim(text));
}

std::string device_dir(const KernelAddress &a) {
    return "/sys/bus/scsi/devices/" + std::to_string(a.host) + ":" + std::to_string(a.channel) + ":" +
           std::to_string(a.target) + ":" + std::to_string(a.lun);
}

std::string why_not(int error) {
    std::string why = std::strerror(error);
    if (error == EACCES || error == EPERM) why += msg::sg_ask_group;
    return why;
}

void report_open_failure(const SgSystem &system, const std::string &node, int error) {
    report(system, msg::cannot_open(node, why_not(error)));
}

// One line for every unit the user may not open: which nodes, and the group to join.
void report_permission_denied(const SgSystem &system, const std::vector<std::string> &nodes) {
    std::string names;
    for (const std::string &n : nodes) names += (names.empty() ? "" : ", ") + n;
    report(system, msg::sg_no_permission(names, system.group_of(nodes.front().c_str())));
}

std::vector<Candidate> list_candidates(const SgSystem &system) {
    std::vector<std::string> names;
    std::vector<Candidate> found;
    if (!system.list_dir("/dev", names)) return found;
    for (const std::string &name : names) {
        Candidate c;
        c.name = name;
        if (node_number(name, "sr", c.number)) c.is_sr = true;
        else if (!node_number(name, "sg", c.number)) continue;
        found.push_back(std::move(c));
    }
    std::sort(found.begin(), found.end(), [](const Candidate &a, const Candidate &b) {
        return a.is_sr != b.is_sr ? !a.is_sr : a.number < b.number;
    });
    return found;
}

std::optional<KernelAddress> address_from_sysfs(const SgSystem &system, const Candidate &c) {
    const std::string link = (c.is_sr ? "/sys/block/" : "/sys/class/scsi_generic/") + c.name + "/device";
    std::string target;
    KernelAddress address;
    if (!system.read_link(link.c_str(), target) || !parse_kernel_address(target, address)) return std::nullopt;
    return address;
}

KernelAddress address_from_idlun(const int (&idlun)[2]) {
    const auto byte = [&idlun](int shift) { return (idlun[0] >> shift) & 0xFF; };
    return {byte(24), byte(16), byte(0), byte(8)};
}

bool is_cd_type(const std::optional<std::string> &type) { return type && (*type == "5" || *type == "4"); }

// Gives each candidate its kernel address; drops sg nodes of other device types and nodes whose
// address cannot be learnt. An sr node sysfs does not describe is opened to ask the kernel.
std::vector<Candidate> address_candidates(const SgSystem &system, std::vector<Candidate> candidates) {
    std::vector<Candidate> kept;
    for (Candidate &c : candidates) {
        const std::string node = "/dev/" + c.name;
        c.kernel = address_from_sysfs(system, c);
        if (!c.is_sr) {
            if (c.kernel && is_cd_type(attribute(system, device_dir(*c.kernel) + "/type"))) kept.push_back(c);
            continue;
        }
        if (!c.kernel) {
            const int fd = open_unit_node(system, node, c.writable);
            if (fd < 0) {
                report_open_failure(system, node, -fd);
                continue;
            }
            int idlun[2] = {0, 0};
            if (system.get_idlun(fd, idlun) != 0) {
                system.close_node(fd);
                report(system, msg::sg_no_address(node));
                continue;
            }
            c.kernel = address_from_idlun(idlun);
            c.fd = fd;
        }
        kept.push_back(c);
    }
    return kept;
}

int queue_number(const SgSystem &system, const std::string &queue, const char *name) {
    int value = 0;
    const auto text = attribute(system, queue + name);
    return text && parse_number(*text, value) ? value : 0;
}

// SG_IO maps the caller's buffer page by page into one request: it takes max_sectors_kb at most,
// and no more pages than max_segments (a 4 KiB page each, the least a segment holds).
std::uint32_t queue_limit(const SgSystem &system, const std::string &dir) {
    constexpr std::uint64_t kPageKib = 4;
    std::vector<std::string> disks;
    if (!system.list_dir((dir + "/block").c_str(), disks) || disks.empty()) return kDefaultMaxTransfer;
    std::sort(disks.begin(), disks.end());
    const std::string queue = dir + "/block/" + disks.front() + "/queue/";
    std::uint64_t kib = static_cast<std::uint64_t>(queue_number(system, queue, "max_sectors_kb"));
    if (kib == 0) kib = static_cast<std::uint64_t>(queue_number(system, queue, "max_hw_sectors_kb"));
    if (const int segments = queue_number(system, queue, "max_segments"); segments > 0 && kib > 0)
        kib = std::min<std::uint64_t>(kib, static_cast<std::uint64_t>(segments) * kPageKib);
    if (kib == 0) return kDefaultMaxTransfer;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(kib, kMaxTransferKib) * 1024);
}

Unit describe_unit(const SgSystem &system, const Candidate &chosen, int fd) {
    Unit u;
    u.kernel = *chosen.kernel;
    u.node = "/dev/" + chosen.name;
    u.fd = fd;
    u.writable = chosen.writable;
    const std::string dir = device_dir(u.kernel);
    int type = 0;
    if (const auto text = attribute(system, dir + "/type"); text && parse_number(*text, type)) u.device_type = type;
    u.vendor = attribute(system, dir + "/vendor").value_or("");
    u.model = attribute(system, dir + "/model").value_or("");
    u.max_transfer = queue_limit(system, dir);
    return u;
}

// The node to name to the user for a unit: its sr node, the one people know, when it has one.
const std::string &known_name(const std::vector<Candidate> &candidates, std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i)
        if (candidates[i].is_sr) return candidates[i].name;
    return candidates[first].name;
}

// One unit per kernel address, opened through its first node that opens (sg before sr, see
// enumerate.h).
std::vector<Unit> open_units(const SgSystem &system, std::vector<Candidate> candidates) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate &a, const Candidate &b) { return *a.kernel < *b.kernel; });
    std::vector<Unit> units;
    std::vector<std::string> denied;  // first nodes of units left out for want of permission
    for (std::size_t first = 0; first < candidates.size();) {
        std::size_t end = first;
        while (end < candidates.size() && *candidates[end].kernel == *candidates[first].kernel) ++end;
        int chosen = -1;
        int first_error = 0;
        std::size_t failed = first;  // the node that gave first_error
        for (std::size_t i = first; i < end; ++i) {
            Candidate &c = candidates[i];
            if (chosen >= 0) {
                if (c.fd >= 0) system.close_node(c.fd);
                continue;
            }
            if (c.fd < 0) {
                const int fd = open_unit_node(system, "/dev/" + c.name, c.writable);
                if (fd < 0) {
                    if (first_error == 0) {
                        first_error = -fd;
                        failed = i;
                    }
                    continue;
                }
                c.fd = fd;
            }
            chosen = static_cast<int>(i);
        }
        if (chosen >= 0) units.push_back(describe_unit(system, candidates[chosen], candidates[chosen].fd));
        else if (is_permission_error(first_error)) denied.push_back("/dev/" + known_name(candidates, first, end));
        else report_open_failure(system, "/dev/" + candidates[failed].name, first_error);
        first = end;
    }
    if (!denied.empty()) report_permission_denied(system, denied);
    return units;
}

// Gives every unit of one adapter its ASPI target and LUN, the adapter its own id and limit.
void number_units(const SgSystem &system, SgAdapter &adapter) {
    adapter.own_scsi_id = real_drive::number_units(
        adapter.units, [](const Unit &u) { return real_drive::Slot{u.kernel.target, u.kernel.lun}; },
        [&system](Unit &u) {
            report(system, msg::no_free_slot(u.node));
            system.close_node(u.fd);
        });
    adapter.max_transfer = kDefaultMaxTransfer;
    if (!adapter.units.empty()) {
        adapter.max_transfer = adapter.units.front().max_transfer;
        for (const Unit &u : adapter.units) adapter.max_transfer = std::min(adapter.max_transfer, u.max_transfer);
    }
}

}  // namespace

bool parse_kernel_address(const std::string &link, KernelAddress &address) {
    const std::string_view name = std::string_view(link).substr(link.find_last_of('/') + 1);
    int parts[4];
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t colon = i < 3 ? name.find(':', start) : name.size();
        if (colon == std::string_view::npos || !parse_number(name.substr(start, colon - start), parts[i])) return false;
        start = colon + 1;
    }
    address = {parts[0], parts[1], parts[2], parts[3]};
    return true;
}

std::vector<SgAdapter> enumerate_adapters(const SgSystem &system) {
    std::vector<Unit> units = open_units(system, address_candidates(system, list_candidates(system)));
    std::map<std::pair<int, int>, SgAdapter> by_bus;  // ordered by host, then channel
    for (Unit &u : units) {
        SgAdapter &a = by_bus[{u.kernel.host, u.kernel.channel}];
        a.host = u.kernel.host;
        a.channel = u.kernel.channel;
        a.units.push_back(std::move(u));
    }
    std::vector<SgAdapter> adapters;
    for (auto &[bus, adapter] : by_bus) {
        number_units(system, adapter);
        if (!adapter.units.empty()) adapters.push_back(std::move(adapter));
    }
    return adapters;
}

int open_unit_node(const SgSystem &system, const std::string &node, bool &writable) {
    writable = true;
    const int fd = system.open_node(node.c_str(), true);
    if (fd >= 0 || !is_permission_error(-fd)) return fd;
    writable = false;
    return system.open_node(node.c_str(), false);
}

void report(const SgSystem &system, const std::string &line) {
    system.report((msg::real_drive_prefix + line).c_str());
}

void close_adapters(const SgSystem &system, std::vector<SgAdapter> &adapters) {
    for (SgAdapter &a : adapters)
        for (Unit &u : a.units)
            if (u.fd >= 0) {
                system.close_node(u.fd);
                u.fd = -1;
            }
    adapters.clear();
}

}  // namespace passthru::sg
