#include "passthru/faults.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "passthru/messages.h"
#include "passthru/text.h"

namespace passthru {
namespace {

std::optional<std::int64_t> number(std::string_view s, std::int64_t low, std::int64_t high) {
    s = trim(s);
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || error != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

std::optional<LbaRange> lba_range(std::string_view s) {
    constexpr std::int64_t kLimit = 1'000'000'000;
    const auto dash = s.find('-', 1);  // a leading '-' is a sign
    if (dash == std::string_view::npos) {
        auto one = number(s, -kLimit, kLimit);
        if (!one) return std::nullopt;
        return LbaRange{*one, *one};
    }
    auto first = number(s.substr(0, dash), -kLimit, kLimit);
    auto last = number(s.substr(dash + 1), -kLimit, kLimit);
    if (!first || !last || *last < *first) return std::nullopt;
    return LbaRange{*first, *last};
}

std::optional<CommandKind> command_kind(std::string_view s) {
    struct Name {
        std::string_view text;
        CommandKind kind;
    };
    static constexpr Name kNames[] = {{"inquiry", CommandKind::inquiry}, {"tur", CommandKind::tur},
                                      {"readtoc", CommandKind::readtoc}, {"readcd", CommandKind::readcd},
                                      {"any", CommandKind::any}};
    for (const auto &n : kNames)
        if (n.text == s) return n.kind;
    return std::nullopt;
}

bool parse_hang(std::string_view value, Faults &faults) {
    const auto hash = value.find('#');
    auto kind = command_kind(trim(value.substr(0, hash)));
    if (!kind) return false;
    int nth = 0;
    if (hash != std::string_view::npos) {
        auto n = number(value.substr(hash + 1), 1, 1'000'000);
        if (!n) return false;
        nth = static_cast<int>(*n);
    }
    faults.hang_kind = *kind;
    faults.hang_nth = nth;
    return true;
}

// Applies one `key` or `key=value` item; false when it is not understood.
bool apply_item(std::string_view key, std::optional<std::string_view> value, Faults &f) {
    auto int_value = [&](std::int64_t low, std::int64_t high) -> std::optional<int> {
        if (!value) return std::nullopt;
        auto n = number(*value, low, high);
        if (!n) return std::nullopt;
        return static_cast<int>(*n);
    };
    auto range_into = [&](std::vector<LbaRange> &ranges) {
        auto r = value ? lba_range(trim(*value)) : std::nullopt;
        if (r) ranges.push_back(*r);
        return r.has_value();
    };
    if (key == "latency") {
        auto r = value ? lba_range(trim(*value)) : std::nullopt;
        if (!r || r->first < 0 || r->last > 60000) return false;
        f.latency = std::chrono::milliseconds{r->first};
        f.latency_max = std::chrono::milliseconds{r->last};
        return true;
    }
    if (key == "seed") {
        auto n = value ? number(*value, 0, 0xFFFFFFFF) : std::nullopt;
        if (n) f.seed = static_cast<std::uint32_t>(*n);
        return n.has_value();
    }
    if (key == "fail_read") return range_into(f.fail_read);
    if (key == "hang_lba") return range_into(f.hang_lba);
    if (key == "hang") return value && parse_hang(trim(*value), f);
    if (key == "not_ready") {
        if (!value) {
            f.not_ready_all = true;
            return true;
        }
        auto unit = int_value(0, 14);
        if (unit) f.not_ready_units.push_back(*unit);
        return unit.has_value();
    }
    if (key == "immediate") {
        f.immediate = true;
        return !value;
    }
    if (key == "stuck") {
        f.stuck = true;
        if (value) f.stuck_until_path = std::string(trim(*value));
        return !value || !f.stuck_until_path.empty();
    }
    if (key == "pending") {
        f.pending = true;
        return !value;
    }
    if (key == "adapters" || key == "dup_adapters") {
        auto n = int_value(1, 8);
        if (n) {
            f.adapters = *n;
            f.duplicate_adapters = key == "dup_adapters";
        }
        return n.has_value();
    }
    if (key == "units") {
        auto n = int_value(1, 15);
        if (n) f.units = *n;
        return n.has_value();
    }
    if (key == "ansi") {
        auto v = int_value(0, 255);
        if (v) f.ansi_version = *v;
        return v.has_value();
    }
    if (key == "toc_start") {
        const auto colon = value ? value->find(':') : std::string_view::npos;
        if (colon == std::string_view::npos) return false;
        auto track = number(value->substr(0, colon), 1, 170);
        auto lba = number(value->substr(colon + 1), INT32_MIN, INT32_MAX);
        if (!track || !lba) return false;
        f.toc_starts.push_back({static_cast<int>(*track), static_cast<std::int32_t>(*lba)});
        return true;
    }
    if (key == "trace") {
        if (!value || value->empty()) return false;
        f.trace_path = std::string(*value);
        return true;
    }
    if (key == "inquiry_targstat") {
        auto v = int_value(0, 255);
        if (v) f.inquiry_target_status = *v;
        return v.has_value();
    }
    return false;
}

}  // namespace

Faults parse_faults(std::string_view text, std::string &problems) {
    Faults faults;
    while (!text.empty()) {
        const auto end = text.find(';');
        const std::string_view item = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (item.empty()) continue;
        const auto eq = item.find('=');
        const std::string_view key = trim(item.substr(0, eq));
        std::optional<std::string_view> value;
        if (eq != std::string_view::npos) value = trim(item.substr(eq + 1));
        if (!apply_item(key, value, faults)) {
            problems += msg::line(msg::fault_ignored(item));
        }
    }
    return faults;
}

const Faults &library_faults() {
    static const Faults faults = [] {
        const char *text = std::getenv("CDDAPLAY_FAULTS");
        std::string problems;
        Faults parsed = parse_faults(text ? text : "", problems);
        if (!problems.empty()) std::fputs(problems.c_str(), stderr);
        return parsed;
    }();
    return faults;
}

bool touches(const std::vector<LbaRange> &ranges, std::int64_t first, std::int64_t count) {
    for (const auto &r : ranges)
        if (first <= r.last && first + count - 1 >= r.first) return true;
    return false;
}

}  // namespace passthru
