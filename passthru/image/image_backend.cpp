#include "passthru/image/image_backend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aspi/aspi32.h"
#include "common/byte_order.h"
#include "passthru/faults.h"
#include "passthru/image/cue.h"
#include "passthru/image/drive.h"

namespace passthru::image {
namespace {

constexpr int kOwnScsiId = 7;
constexpr int kMaxUnits = kMaxTargets - 1;  // every target but the adapter's own
constexpr std::uint32_t kMaxTransfer = 1u << 20;
constexpr std::uintmax_t kMaxSheetBytes = 1u << 20;

// Fixed by open, read-only until close, except `seen`, which only execute touches: the manager runs
// one command at a time and hands over between its threads under its own lock.
struct State {
    std::vector<std::unique_ptr<Unit>> units;
    int adapters = 0;
    bool duplicate_adapters = false;
    Faults faults;
    int seen[static_cast<int>(CommandKind::any) + 1] = {};  // commands executed, per kind
    std::minstd_rand latency_draw;  // execute only, like `seen`
};
State *g_state = nullptr;

void report(const std::string &line) { std::fprintf(stderr, "wnaspi32: %s\n", line.c_str()); }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool read_whole_file(const std::filesystem::path &path, std::vector<std::uint8_t> &bytes) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxSheetBytes) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::shared_ptr<const Disc> load_sheet(const std::string &sheet) {
    const std::filesystem::path sheet_path(sheet);
    std::vector<std::uint8_t> bytes;
    if (!read_whole_file(sheet_path, bytes)) {
        report("'" + sheet + "': cannot read the CUE sheet; unit left out");
        return nullptr;
    }
    const std::filesystem::path folder = sheet_path.parent_path();
    auto resolve = [&folder](std::string_view name) { return folder / std::filesystem::path(name); };
    FileSizeLookup size_of = [&resolve](std::string_view name) -> std::optional<std::uint64_t> {
        std::error_code ec;
        const auto path = resolve(name);
        if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec) return std::nullopt;
        return size;
    };
    auto disc = std::make_shared<Disc>();
    std::string error;
    if (!parse_cue(bytes.data(), bytes.size(), size_of, *disc, error)) {
        report("'" + sheet + "': " + error + "; unit left out");
        return nullptr;
    }
    for (ImageFile &f : disc->files) f.path = resolve(f.path).string();
    return disc;
}

std::vector<std::shared_ptr<const Disc>> load_images(std::string_view list) {
    std::vector<std::shared_ptr<const Disc>> discs;
    while (!list.empty()) {
        const auto end = list.find(';');
        const std::string entry(trim(list.substr(0, end)));
        list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
        if (entry.empty()) continue;
        if (entry == "builtin") discs.push_back(std::make_shared<const Disc>(builtin_disc()));
        else if (auto disc = load_sheet(entry)) discs.push_back(std::move(disc));
    }
    return discs;
}

bool unit_not_ready(const Faults &f, int unit) {
    if (f.not_ready_all) return true;
    for (int u : f.not_ready_units)
        if (u == unit) return true;
    return false;
}

void open_backend() {
    const char *images = std::getenv("CDDAPLAY_IMAGES");
    if (!images) return;
    auto state = std::make_unique<State>();
    state->faults = library_faults();
    state->adapters = state->faults.adapters;
    state->duplicate_adapters = state->faults.duplicate_adapters;
    state->latency_draw.seed(state->faults.seed);
    const auto discs = load_images(images);
    std::size_t wanted = state->faults.units > 0 && !discs.empty() ? std::size_t(state->faults.units) : discs.size();
    if (wanted > kMaxUnits) {
        report("CDDAPLAY_IMAGES: only the first 15 units are served");
        wanted = kMaxUnits;
    }
    for (std::size_t i = 0; i < wanted; ++i) {
        auto unit = std::make_unique<Unit>();
        unit->disc = discs[i % discs.size()];
        unit->not_ready = unit_not_ready(state->faults, static_cast<int>(i));
        unit->version = static_cast<std::uint8_t>(state->faults.ansi_version);
        state->units.push_back(std::move(unit));
    }
    g_state = state.release();
}

void close_backend() {
    delete g_state;
    g_state = nullptr;
}

int adapter_count() { return g_state ? g_state->adapters : 0; }

AdapterIdentity adapter_identity(int) {
    AdapterIdentity id{};
    std::strncpy(id.name, "cddaplay image", sizeof id.name - 1);
    id.own_scsi_id = kOwnScsiId;
    id.max_transfer = kMaxTransfer;
    return id;
}

Unit *unit_at(int adapter, int target, int lun) {
    if (!g_state || adapter < 0 || adapter >= g_state->adapters || lun != 0) return nullptr;
    if (adapter > 0 && !g_state->duplicate_adapters) return nullptr;
    if (target == kOwnScsiId || target < 0 || target >= kMaxTargets) return nullptr;
    const std::size_t index = static_cast<std::size_t>(target < kOwnScsiId ? target : target - 1);
    return index < g_state->units.size() ? g_state->units[index].get() : nullptr;
}

int device_type(int adapter, int target, int lun) { return unit_at(adapter, target, lun) ? 5 : kNoDevice; }

CommandKind kind_of(std::uint8_t op) {
    switch (op) {
    case kOpInquiry: return CommandKind::inquiry;
    case kOpTestUnitReady: return CommandKind::tur;
    case kOpReadToc: return CommandKind::readtoc;
    case kOpReadCd: return CommandKind::readcd;
    default: return CommandKind::none;
    }
}

struct ReadRange {
    bool is_read;
    std::int64_t lba;
    std::int64_t count;
};

ReadRange read_range_of(const ScsiCommand &c) {
    if (c.cdb[0] != kOpReadCd || c.cdb_length < 12) return {false, 0, 0};
    const auto lba = static_cast<std::int32_t>(get_be32(c.cdb + 2));
    const std::int64_t count = (std::int64_t{c.cdb[6]} << 16) | (c.cdb[7] << 8) | c.cdb[8];
    return {count > 0, lba, count};
}

// Counts the command and tells whether the configured hang catches it.
bool hangs(State &s, const ScsiCommand &c) {
    const CommandKind kind = kind_of(c.cdb[0]);
    const int nth_of_kind = kind == CommandKind::none ? 0 : ++s.seen[static_cast<int>(kind)];
    const int nth_of_any = ++s.seen[static_cast<int>(CommandKind::any)];
    const Faults &f = s.faults;
    bool caught = false;
    if (f.hang_kind == CommandKind::any) caught = f.hang_nth == 0 || f.hang_nth == nth_of_any;
    else if (f.hang_kind != CommandKind::none && f.hang_kind == kind) caught = f.hang_nth == 0 || f.hang_nth == nth_of_kind;
    const ReadRange r = read_range_of(c);
    return caught || (r.is_read && touches(f.hang_lba, r.lba, r.count));
}

std::chrono::milliseconds latency_of(State &s) {
    const auto low = s.faults.latency.count(), high = s.faults.latency_max.count();
    if (high <= low) return s.faults.latency;
    return std::chrono::milliseconds{low + static_cast<long long>(s.latency_draw() % (high - low + 1))};
}

void fail_read(Unit &unit, const ReadRange &r, const Faults &f, ScsiOutcome &o) {
    set_check_condition(o, 0x03, 0x11, 0x00);  // MEDIUM ERROR, unrecovered read error
    std::int64_t bad = r.lba;
    while (!touches(f.fail_read, bad, 1)) ++bad;
    o.sense[0] |= 0x80;  // the information field holds the first bad LBA
    put_be32(o.sense + 3, static_cast<std::uint32_t>(bad));
    std::memcpy(unit.last_sense, o.sense, kSenseBytes);
    unit.has_sense = true;
}

void execute(int adapter, int target, int lun, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
    o = ScsiOutcome{};
    Unit *unit = unit_at(adapter, target, lun);
    if (!unit) {
        o.host_status = HASTAT_SEL_TO;  // nobody answers there
        return;
    }
    State &s = *g_state;
    const bool hang = hangs(s, c);
    const std::chrono::milliseconds latency = latency_of(s);
    if (latency.count() > 0 && cancel.wait_for(latency)) {
        o.host_status = HASTAT_COMMAND_TIMEOUT;
        return;
    }
    if (hang) {
        if (c.cancellable) cancel.wait_until_cancelled();
        o.host_status = HASTAT_COMMAND_TIMEOUT;
        return;
    }
    const ReadRange r = read_range_of(c);
    if (r.is_read && !unit->not_ready && touches(s.faults.fail_read, r.lba, r.count))
        return fail_read(*unit, r, s.faults, o);
    execute_drive_command(*unit, c, o);
}

constexpr Backend kImageBackend{"image",          open_backend, close_backend, adapter_count,
                                adapter_identity, device_type,  execute};

}  // namespace

const Backend &image_backend() { return kImageBackend; }

}  // namespace passthru::image
