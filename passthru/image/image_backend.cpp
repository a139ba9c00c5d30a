#include "passthru/image/image_backend.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "aspi/aspi32.h"
#include "common/byte_order.h"
#include "passthru/faults.h"
#include "passthru/image/byte_order.h"
#include "passthru/image/cue.h"
#include "passthru/image/drive.h"
#include "passthru/image/flac_sheet.h"
#include "passthru/image/image_source.h"
#include "passthru/image/toc_sheet.h"
#include "passthru/messages.h"
#include "passthru/text.h"
#include "platform/platform.h"

namespace passthru::image {
namespace {


constexpr int kOwnScsiId = 7;
constexpr int kMaxUnits = kMaxTargets - 1;  // every target but the adapter's own
constexpr std::uint32_t kMaxTransfer = 1u << 20;
constexpr std::uint64_t kMaxSheetBytes = 1u << 20;

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

// Everything this load has to tell the user; said once per run of the program (see open_backend).
std::vector<std::string> *g_messages = nullptr;

void report(const std::string &line) {
    if (g_messages) g_messages->push_back(msg::line(line));
    else platform::write_text(stderr, msg::line(line));
}

bool read_whole(const std::string &path, std::uint64_t limit, std::vector<std::uint8_t> &bytes, std::string &why) {
    std::uint64_t size = 0;
    const auto file = open_raw_file(path, size, why);
    if (!file) return false;
    if (size > limit) {
        why = msg::file_too_large(limit);
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t got = 0;
    if (!file->read(0, bytes.data(), bytes.size(), got, why)) return false;
    bytes.resize(got);
    return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool is_audio_extension(const std::string &ext) {
    for (const char *known : {".wav", ".flac", ".aif", ".aiff", ".w64", ".rf64", ".caf"})
        if (same_ignoring_case(ext, known)) return true;
    return false;
}

// ---- Paths, as strings ----

std::size_t last_separator(const std::string &path) {
    for (std::size_t i = path.size(); i-- > 0;)
        if (is_path_separator(path[i])) return i;
    return std::string::npos;
}

// "a/b" -> "a", "/b" -> "/", "b" -> "".
std::string parent_of(const std::string &path) {
    const std::size_t at = last_separator(path);
    return at == std::string::npos ? std::string{} : path.substr(0, at == 0 ? 1 : at);
}

std::string file_name_of(const std::string &path) { return path.substr(last_separator(path) + 1); }

std::string joined(const std::string &folder, const std::string &name) {
    if (name.empty()) return folder;
    if (folder.empty() || is_absolute_path(name)) return name;
    // The system's own separator, as its users write paths ('\\' where that is one).
    const char separator = is_path_separator('\\') ? '\\' : '/';
    return is_path_separator(folder.back()) ? folder + name : folder + separator + name;
}

// The name without its last extension, and that extension with its dot (".flac"); a leading dot
// starts no extension (".hidden").
std::string stem_of(const std::string &name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}
std::string extension_of(const std::string &name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string{} : name.substr(dot);
}

// Finds the file a sheet names: as written; read as Windows-1252; with '\' as the folder separator
// (sheets made on Windows); in another letter case; and for an audio file, the same name with
// another audio extension (a rip re-encoded from WAV to FLAC whose sheet was never edited). The
// last three leave a note for the user.
std::optional<std::string> find_named_file(const std::string &folder, const FileQuery &q, std::string &note) {
    std::vector<std::string> names{std::string(q.name)};
    if (!q.alternative.empty()) names.emplace_back(q.alternative);
    for (std::size_t i = 0, n = names.size(); i < n; ++i) {
        std::string slashed = names[i];
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        if (slashed != names[i]) names.push_back(slashed);
    }
    for (const std::string &name : names) {
        const std::string path = joined(folder, name);
        if (path_exists(path)) return path;
    }
    for (const std::string &name : names) {
        const std::string dir = joined(folder, parent_of(name));
        const std::string wanted = file_name_of(name);
        std::vector<std::string> entries;
        if (!folder_names(dir, entries)) continue;
        std::optional<std::string> other_format;
        for (const std::string &found : entries) {
            if (same_ignoring_case(found, wanted)) {
                note = "'" + std::string(q.name) + "' is not there; using '" + found + "' (other letter case)";
                return joined(dir, found);
            }
            if (q.type == FileType::audio && !other_format && same_ignoring_case(stem_of(found), stem_of(wanted)) &&
                is_audio_extension(extension_of(found)))
                other_format = found;
        }
        if (other_format) {
            note = "'" + std::string(q.name) + "' is not there; using '" + *other_format + "' (same name, other audio format)";
            return joined(dir, *other_format);
        }
    }
    return std::nullopt;
}

// A CD-Text file: 18-byte packs, perhaps after the 4-byte header of a READ TOC answer, perhaps with
// a closing NUL byte (as burning programs write them).
bool cdtext_packs(std::vector<std::uint8_t> bytes, std::vector<std::uint8_t> &packs, std::string &why) {
    if (bytes.size() % 18 == 1 && bytes.back() == 0) bytes.pop_back();
    if (bytes.size() % 18 == 4 && bytes.size() >= 4 && get_be16(bytes.data()) == bytes.size() - 2)
        bytes.erase(bytes.begin(), bytes.begin() + 4);
    if (bytes.empty() || bytes.size() % 18 != 0) {
        why = msg::not_cdtext_packs;
        return false;
    }
    packs = std::move(bytes);
    return true;
}

// The kind of audio file `head` (a file's first bytes) begins with, or null for none.
const char *audio_file_kind(const std::uint8_t *head, std::size_t size) {
    const auto is = [&](std::size_t at, const char *tag) { return size >= at + 4 && std::memcmp(head + at, tag, 4) == 0; };
    if (is(0, "RIFF") && is(8, "WAVE")) return "WAV";
    if (is(0, "fLaC")) return "FLAC";
    if (is(0, "FORM") && (is(8, "AIFF") || is(8, "AIFC"))) return "AIFF";
    return nullptr;
}

// A BINARY or MOTOROLA file: raw sectors, unless it begins with an audio file's header, when its
// header and samples are read as the audio file it is (played raw it would be full-scale noise).
bool open_raw_or_audio(const FileQuery &q, FileFound &found, std::string &why) {
    found.source = open_raw_file(found.path, found.data_bytes, why);
    if (!found.source) return false;
    std::uint8_t head[12] = {};
    std::size_t got = 0;
    if (!found.source->read(0, head, sizeof head, got, why)) return false;
    const char *kind = audio_file_kind(head, got);
    if (!kind) return true;
    found.source = open_audio_file(found.path, found.data_bytes, why);
    found.audio = true;
    if (found.source) {
        const std::string said = msg::audio_file_typed_raw(std::string(q.name), q.type == FileType::motorola ? "MOTOROLA" : "BINARY", kind);
        found.note = found.note.empty() ? said : found.note + "; " + said;
    }
    return found.source != nullptr;
}

bool open_named_file(const std::string &folder, const FileQuery &q, FileFound &found, std::string &why) {
    const std::optional<std::string> path = find_named_file(folder, q, found.note);
    if (!path) {
        why = msg::no_such_file_in(folder.empty() ? std::string(".") : folder);
        return false;
    }
    found.path = *path;
    switch (q.type) {
    case FileType::binary:
    case FileType::motorola: return open_raw_or_audio(q, found, why);
    case FileType::audio: found.source = open_audio_file(found.path, found.data_bytes, why); break;
    case FileType::cdtext: {
        std::vector<std::uint8_t> bytes;
        return read_whole(found.path, kMaxSheetBytes, bytes, why) && cdtext_packs(std::move(bytes), found.packs, why);
    }
    }
    return found.source != nullptr;
}

// The metadata blocks of a FLAC file that make its sheet: false when it is not a FLAC file.
bool read_flac_sheet_blocks(const ImageSource &file, std::vector<std::uint8_t> &cuesheet,
                            std::vector<std::uint8_t> &comments) {
    std::uint8_t head[4];
    std::size_t got = 0;
    std::string why;
    if (!file.read(0, head, 4, got, why) || got < 4 || std::memcmp(head, "fLaC", 4) != 0) return false;
    std::uint64_t at = 4;
    for (int block = 0; block < 1000; ++block) {  // a damaged file cannot keep us here
        if (!file.read(at, head, 4, got, why) || got < 4) break;
        const std::uint8_t type = head[0] & 0x7F;
        const std::uint32_t length = std::uint32_t{head[1]} << 16 | head[2] << 8 | head[3];
        std::vector<std::uint8_t> *wanted = type == kFlacCuesheet ? &cuesheet : type == kFlacVorbisComment ? &comments : nullptr;
        if (wanted && wanted->empty()) {
            wanted->resize(length);
            if (!file.read(at + 4, wanted->data(), length, got, why)) wanted->clear();
            wanted->resize(got);
        }
        at += 4 + std::uint64_t{length};
        if (head[0] & 0x80) break;  // the last metadata block
    }
    return true;
}

// `entry` when it names a FLAC file: the sheet its metadata carries, every FILE of it the FLAC
// itself. False when it is not a FLAC file.
bool flac_image_sheet(const std::string &entry, std::vector<std::uint8_t> &bytes, FileLookup &lookup, std::string &why) {
    std::uint64_t size = 0;
    const auto file = open_raw_file(entry, size, why);
    std::vector<std::uint8_t> cuesheet, comments;
    if (!file || !read_flac_sheet_blocks(*file, cuesheet, comments)) return false;
    std::string sheet;
    if (!flac_sheet(cuesheet, comments, file_name_of(entry), sheet, why)) {
        bytes.clear();
        return true;
    }
    bytes.assign(sheet.begin(), sheet.end());
    lookup = [entry](const FileQuery &q, FileFound &found, std::string &reason) {
        if (q.type == FileType::cdtext) return false;
        found.path = entry;
        found.audio = true;
        found.source = open_audio_file(entry, found.data_bytes, reason);
        return found.source != nullptr;
    };
    return true;
}

std::shared_ptr<const Disc> load_sheet(const std::string &sheet, std::size_t unit) {
    const std::string empty_drive = msg::empty_drive(unit);
    std::vector<std::uint8_t> bytes;
    std::string why;
    const std::string folder = parent_of(sheet);
    FileLookup lookup = [&folder](const FileQuery &q, FileFound &found, std::string &reason) {
        return open_named_file(folder, q, found, reason);
    };
    if (flac_image_sheet(sheet, bytes, lookup, why)) {
        if (bytes.empty()) {
            report(msg::embedded_sheet_refused(sheet, why) + empty_drive);
            return nullptr;
        }
    } else if (!read_whole(sheet, kMaxSheetBytes, bytes, why)) {
        report(msg::sheet_unreadable(sheet, why) + empty_drive);
        return nullptr;
    } else if (same_ignoring_case(extension_of(file_name_of(sheet)), ".toc")) {
        // cdrdao's table of contents: read as the CUE sheet that says the same.
        std::string cue;
        if (!toc_to_cue(bytes.data(), bytes.size(), cue, why)) {
            report(msg::sheet_says(sheet, why) + empty_drive);
            return nullptr;
        }
        bytes.assign(cue.begin(), cue.end());
    }
    auto disc = std::make_shared<Disc>();
    std::string error;
    std::vector<std::string> notes;
    const bool ok = parse_cue(bytes.data(), bytes.size(), lookup, *disc, error, &notes);
    for (const std::string &n : notes) report(msg::sheet_says(sheet, n));
    if (!ok) {
        report(msg::sheet_says(sheet, error) + empty_drive);
        return nullptr;
    }
    for (int f : read_swapped_files_swapped(*disc)) report(msg::sheet_says(sheet, msg::byte_swapped(disc->files[f].path)));
    return disc;
}

struct LoadedImage {
    std::shared_ptr<const Disc> disc;  // null for an entry that did not load (an empty drive)
    std::string name;                  // what the unit's INQUIRY data names (image_name_of)
};

// The name a unit gives in its INQUIRY data: the entry's file name without folder and extension.
std::string image_name_of(const std::string &entry) {
    std::string name = file_name_of(entry);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

// One image per entry, in order.
std::vector<LoadedImage> load_images(std::string_view list) {
    std::vector<LoadedImage> images;
    while (!list.empty()) {
        const auto end = list.find(';');
        const std::string entry(trim(list.substr(0, end)));
        list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
        if (entry.empty()) continue;
        if (entry == "builtin") images.push_back({std::make_shared<const Disc>(builtin_disc()), entry});
        else images.push_back({load_sheet(entry, images.size()), image_name_of(entry)});
    }
    return images;
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
    std::vector<std::string> messages;
    g_messages = &messages;
    const auto discs = load_images(images);
    std::size_t wanted = state->faults.units > 0 && !discs.empty() ? std::size_t(state->faults.units) : discs.size();
    if (wanted > kMaxUnits) {
        report(msg::too_many_units);
        wanted = kMaxUnits;
    }
    for (std::size_t i = 0; i < wanted; ++i) {
        auto unit = std::make_unique<Unit>();
        unit->disc = discs[i % discs.size()].disc;
        unit->image_name = discs[i % discs.size()].name;
        unit->not_ready = unit_not_ready(state->faults, static_cast<int>(i));
        unit->version = static_cast<std::uint8_t>(state->faults.ansi_version);
        state->units.push_back(std::move(unit));
    }
    g_state = state.release();
    g_messages = nullptr;
    // The program loads the library once per phase; the user hears about the images once.
    if (!messages.empty() && platform::first_report_in_this_run(images))
        for (const std::string &m : messages) platform::write_text(stderr, m);
}

void close_backend() {
    delete g_state;
    g_state = nullptr;
}

int adapter_count() { return g_state ? g_state->adapters : 0; }

// A virtual drive reads its files at once; only faults that make it wait (or ask for it) leave its
// commands pending for the library's worker, where they can be aborted.
bool answers_at_once(const Faults &f) {
    const bool waits = f.latency.count() > 0 || f.latency_max.count() > 0 || f.hang_kind != CommandKind::none ||
                       !f.hang_lba.empty() || f.stuck;
    return !waits && !f.pending;
}

AdapterIdentity adapter_identity(int) {
    AdapterIdentity id{};
    std::strncpy(id.name, "cddaplay image", sizeof id.name - 1);
    id.own_scsi_id = kOwnScsiId;
    id.max_transfer = kMaxTransfer;
    id.answers_at_once = g_state && answers_at_once(g_state->faults);
    id.exact_transfer_count = true;
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

// Nothing the library does can end it: only the end of the process, or the file `until` appearing
// (never, when it is empty).
void block_like_a_stuck_system_call(const std::string &until) {
    for (;;) {
        std::error_code error;
        if (!until.empty() && std::filesystem::exists(until, error)) return;
        std::this_thread::sleep_for(until.empty() ? std::chrono::milliseconds(3600000) : std::chrono::milliseconds(20));
    }
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

// One line per command, appended as it is taken (a command that then hangs is still listed).
void trace(const std::string &path, int target, const ScsiCommand &c) {
    std::FILE *f = std::fopen(path.c_str(), "ab");  // binary: "\n" alone on every system
    if (!f) return;
    std::fprintf(f, "unit %d:", target < kOwnScsiId ? target : target - 1);
    for (int i = 0; i < c.cdb_length && i < 16; ++i) std::fprintf(f, " %02X", c.cdb[i]);
    std::fputc('\n', f);
    std::fclose(f);
}

// Rewrites the start of chosen descriptors in a READ TOC format 0 answer given in LBA form.
void misreport_toc(const std::vector<TocStart> &starts, const ScsiCommand &c, const ScsiOutcome &o) {
    const bool lba_form_toc = c.cdb[0] == kOpReadToc && (c.cdb[1] & 0x02) == 0 && (c.cdb[2] & 0x0F) == 0;
    if (starts.empty() || !lba_form_toc || o.target_status != 0) return;
    for (std::uint32_t at = 4; at + 8 <= o.transferred; at += 8)
        for (const TocStart &t : starts)
            if (c.data[at + 2] == t.track) put_be32(c.data + at + 4, static_cast<std::uint32_t>(t.lba));
}

void execute(int adapter, int target, int lun, const ScsiCommand &c, ScsiOutcome &o, const CancelToken &cancel) {
    o = ScsiOutcome{};
    Unit *unit = unit_at(adapter, target, lun);
    if (!unit) {
        o.host_status = HASTAT_SEL_TO;  // nobody answers there
        return;
    }
    State &s = *g_state;
    if (!s.faults.trace_path.empty()) trace(s.faults.trace_path, target, c);
    const bool hang = hangs(s, c);
    const std::chrono::milliseconds latency = latency_of(s);
    if (latency.count() > 0 && cancel.wait_for(latency)) {
        o.host_status = HASTAT_COMMAND_TIMEOUT;
        return;
    }
    if (hang) {
        if (s.faults.stuck) block_like_a_stuck_system_call(s.faults.stuck_until_path);
        if (c.cancellable) cancel.wait_until_cancelled();
        o.host_status = HASTAT_COMMAND_TIMEOUT;
        return;
    }
    const ReadRange r = read_range_of(c);
    if (r.is_read && !unit->not_ready && unit->disc && touches(s.faults.fail_read, r.lba, r.count))
        return fail_read(*unit, r, s.faults, o);
    execute_drive_command(*unit, c, o);
    misreport_toc(s.faults.toc_starts, c, o);
}

constexpr Backend kImageBackend{"image",          open_backend, close_backend, adapter_count,
                                adapter_identity, device_type,  execute};

}  // namespace

const Backend &image_backend() { return kImageBackend; }

}  // namespace passthru::image
