#include "passthru/image/cue.h"

#include <optional>
#include <vector>

namespace passthru::image {
namespace {

constexpr std::int64_t kFramesPerSecond = 75;

struct CueTrack {
    int number = 0;
    std::uint8_t control = 0;
    std::int64_t pregap = 0;
    std::int64_t postgap = 0;
    std::optional<std::int64_t> index0;
    std::optional<std::int64_t> index1;
    int last_index = -1;
    std::int64_t start = 0;  // LBA, set by the layout
    CdText text;
};

struct CueFile {
    std::string name;
    bool big_endian = false;
    std::vector<CueTrack> tracks;
    std::int64_t last_position = 0;  // INDEX positions within a file never go back
    std::int64_t sectors = 0;
};

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::optional<int> small_number(std::string_view s, int high) {
    if (!all_digits(s) || s.size() > 3) return std::nullopt;
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    if (v > high) return std::nullopt;
    return v;
}

// mm:ss:ff in frames (sectors).
std::optional<std::int64_t> parse_time(std::string_view s) {
    const auto c1 = s.find(':');
    if (c1 == std::string_view::npos) return std::nullopt;
    const auto c2 = s.find(':', c1 + 1);
    if (c2 == std::string_view::npos || s.find(':', c2 + 1) != std::string_view::npos) return std::nullopt;
    const auto mm = small_number(s.substr(0, c1), 999);
    const auto ss = c2 - c1 - 1 <= 2 ? small_number(s.substr(c1 + 1, c2 - c1 - 1), 59) : std::nullopt;
    const auto ff = s.size() - c2 - 1 <= 2 ? small_number(s.substr(c2 + 1), 74) : std::nullopt;
    if (!mm || !ss || !ff) return std::nullopt;
    return (std::int64_t{*mm} * 60 + *ss) * kFramesPerSecond + *ff;
}

// Splits a line into words; "quoted text" is one word. False on an unterminated quote.
bool split_words(std::string_view line, std::vector<std::string_view> &words) {
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (line[i] == '"') {
            const auto close = line.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            words.push_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        std::size_t end = i;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        words.push_back(line.substr(i, end - i));
        i = end;
    }
    return true;
}

class Parser {
public:
    bool line(int number, const std::vector<std::string_view> &w) {
        line_ = number;
        if (w.empty()) return true;
        const std::string_view key = w[0];
        if (same_word(key, "TITLE")) return text(w, &CdText::title);
        if (same_word(key, "PERFORMER")) return text(w, &CdText::performer);
        if (same_word(key, "SONGWRITER")) return text(w, &CdText::songwriter);
        for (std::string_view skipped : {"REM", "CATALOG", "CDTEXTFILE", "ISRC"})
            if (same_word(key, skipped)) return true;
        if (same_word(key, "FILE")) return file(w);
        if (same_word(key, "TRACK")) return track(w);
        if (same_word(key, "INDEX")) return index(w);
        if (same_word(key, "PREGAP")) return gap(w, true);
        if (same_word(key, "POSTGAP")) return gap(w, false);
        if (same_word(key, "FLAGS")) return flags(w);
        return fail("unknown keyword '" + std::string(key) + "'");
    }

    bool finish(const FileSizeLookup &file_size, Disc &disc) {
        line_ = 0;
        if (files_.empty()) return fail("no FILE");
        if (!last_file_complete()) return false;
        for (CueFile &f : files_)
            if (!measure(f, file_size)) return false;
        return lay_out(disc);
    }

    const std::string &error() const { return error_; }

private:
    bool fail(const std::string &why) {
        error_ = line_ > 0 ? "line " + std::to_string(line_) + ": " + why : why;
        return false;
    }

    CueTrack *current_track() {
        if (files_.empty() || files_.back().tracks.empty()) return nullptr;
        return &files_.back().tracks.back();
    }
    const CueTrack *previous_track() const {
        for (auto f = files_.rbegin(); f != files_.rend(); ++f)
            if (!f->tracks.empty()) return &f->tracks.back();
        return nullptr;
    }

    bool last_file_complete() {
        if (files_.back().tracks.empty()) return fail("FILE '" + files_.back().name + "' has no TRACK");
        const CueTrack &t = files_.back().tracks.back();
        if (!t.index1) return fail("track " + std::to_string(t.number) + " has no INDEX 01");
        return true;
    }

    // Before the first TRACK the disc's text, after it the current track's; bytes as written.
    bool text(const std::vector<std::string_view> &w, std::string CdText::*field) {
        if (w.size() != 2) return fail(std::string(w[0]) + " needs one text");
        CueTrack *t = current_track();
        (t ? t->text : disc_text_).*field = std::string(w[1]);
        return true;
    }

    bool file(const std::vector<std::string_view> &w) {
        if (w.size() != 3) return fail("FILE needs a name and a type");
        if (!files_.empty() && !last_file_complete()) return false;
        if (w[1].empty()) return fail("FILE with an empty name");
        CueFile f;
        f.name = std::string(w[1]);
        if (same_word(w[2], "BINARY")) f.big_endian = false;
        else if (same_word(w[2], "MOTOROLA")) f.big_endian = true;
        else return fail("unsupported file type '" + std::string(w[2]) + "'");
        files_.push_back(std::move(f));
        return true;
    }

    bool track(const std::vector<std::string_view> &w) {
        if (files_.empty()) return fail("TRACK before FILE");
        if (w.size() != 3) return fail("TRACK needs a number and a type");
        const auto number = small_number(w[1], 99);
        if (!number || *number < 1) return fail("bad track number '" + std::string(w[1]) + "'");
        if (const CueTrack *prev = previous_track()) {
            if (!prev->index1) return fail("track " + std::to_string(prev->number) + " has no INDEX 01");
            if (*number != prev->number + 1)
                return fail("track " + std::to_string(*number) + " out of order after track " +
                            std::to_string(prev->number));
        }
        CueTrack t;
        t.number = *number;
        if (same_word(w[2], "AUDIO")) t.control = 0x00;
        else if (same_word(w[2], "MODE1/2352") || same_word(w[2], "MODE2/2352")) t.control = kControlData;
        else return fail("unsupported track type '" + std::string(w[2]) + "'");
        files_.back().tracks.push_back(t);
        return true;
    }

    bool index(const std::vector<std::string_view> &w) {
        CueTrack *t = current_track();
        if (!t) return fail("INDEX outside a TRACK");
        if (w.size() != 3) return fail("INDEX needs a number and a time");
        const auto number = small_number(w[1], 99);
        if (!number) return fail("bad index number '" + std::string(w[1]) + "'");
        if (*number <= t->last_index) return fail("INDEX " + std::string(w[1]) + " out of order");
        if (*number >= 2 && !t->index1) return fail("INDEX " + std::string(w[1]) + " before INDEX 01");
        const auto position = parse_time(w[2]);
        if (!position) return fail("bad time '" + std::string(w[2]) + "'");
        CueFile &f = files_.back();
        if (*position < f.last_position) return fail("INDEX " + std::string(w[2]) + " goes backwards");
        f.last_position = *position;
        t->last_index = *number;
        if (*number == 0) t->index0 = position;
        if (*number == 1) t->index1 = position;
        return true;
    }

    bool gap(const std::vector<std::string_view> &w, bool pre) {
        const char *name = pre ? "PREGAP" : "POSTGAP";
        CueTrack *t = current_track();
        if (!t) return fail(std::string(name) + " outside a TRACK");
        if (w.size() != 2) return fail(std::string(name) + " needs a time");
        const auto length = parse_time(w[1]);
        if (!length) return fail("bad time '" + std::string(w[1]) + "'");
        if (pre && t->last_index >= 0) return fail("PREGAP after INDEX");
        if (!pre && !t->index1) return fail("POSTGAP before INDEX 01");
        std::int64_t &slot = pre ? t->pregap : t->postgap;
        if (slot != 0) return fail(std::string(name) + " given twice");
        slot = *length;
        return true;
    }

    bool flags(const std::vector<std::string_view> &w) {
        CueTrack *t = current_track();
        if (!t) return fail("FLAGS outside a TRACK");
        for (std::size_t i = 1; i < w.size(); ++i) {
            if (same_word(w[i], "DCP")) t->control |= kControlCopy;
            else if (same_word(w[i], "4CH")) t->control |= kControlFourCh;
            else if (same_word(w[i], "PRE")) t->control |= kControlPreEmph;
            else if (!same_word(w[i], "SCMS")) return fail("unknown flag '" + std::string(w[i]) + "'");
        }
        return true;
    }

    bool measure(CueFile &f, const FileSizeLookup &file_size) {
        const auto bytes = file_size ? file_size(f.name) : std::nullopt;
        if (!bytes) return fail("cannot read '" + f.name + "'");
        if (*bytes == 0 || *bytes % kSectorBytes != 0)
            return fail("size of '" + f.name + "' (" + std::to_string(*bytes) +
                        " bytes) is not a whole number of 2352-byte sectors");
        if (*bytes / kSectorBytes > static_cast<std::uint64_t>(kMaxLeadOut)) return fail("'" + f.name + "' is too long");
        f.sectors = static_cast<std::int64_t>(*bytes / kSectorBytes);
        if (f.last_position >= f.sectors) return fail("INDEX beyond the end of '" + f.name + "'");
        return true;
    }

    // Walks the files in order, placing file data and generated silence one after the other.
    bool lay_out(Disc &disc) {
        Disc out;
        std::int64_t lba = 0;
        auto emit = [&](SegmentKind kind, int file, std::int64_t file_sector, std::int64_t length) {
            if (length <= 0 || lba + length > kMaxLeadOut) {
                lba += length;
                return;
            }
            out.segments.push_back({static_cast<std::int32_t>(lba), static_cast<std::int32_t>(length), kind, file,
                                    file_sector});
            lba += length;
        };
        for (std::size_t fi = 0; fi < files_.size(); ++fi) {
            CueFile &f = files_[fi];
            out.files.push_back({f.name, f.big_endian});
            std::int64_t cursor = 0;
            std::int64_t pending_postgap = 0;
            for (CueTrack &t : f.tracks) {
                const std::int64_t first = t.index0.value_or(*t.index1);
                emit(SegmentKind::file, static_cast<int>(fi), cursor, first - cursor);  // the track before
                emit(SegmentKind::silence, -1, 0, pending_postgap);
                emit(SegmentKind::silence, -1, 0, t.pregap);
                t.start = lba + (*t.index1 - first);
                cursor = first;
                pending_postgap = t.postgap;
            }
            emit(SegmentKind::file, static_cast<int>(fi), cursor, f.sectors - cursor);
            emit(SegmentKind::silence, -1, 0, pending_postgap);
        }
        if (lba > kMaxLeadOut) return fail("disc too long for MSF addresses");
        out.lead_out = static_cast<std::int32_t>(lba);
        for (const CueFile &f : files_) {
            for (const CueTrack &t : f.tracks) {
                if (!out.tracks.empty() && t.start <= out.tracks.back().start)
                    return fail("track " + std::to_string(out.tracks.back().number) + " is empty");
                out.tracks.push_back({t.number, static_cast<std::int32_t>(t.start), t.control, t.text});
            }
        }
        if (out.tracks.back().start >= out.lead_out)
            return fail("track " + std::to_string(out.tracks.back().number) + " is empty");
        out.text = disc_text_;
        disc = std::move(out);
        return true;
    }

    std::vector<CueFile> files_;
    CdText disc_text_;
    std::string error_;
    int line_ = 0;
};

}  // namespace

bool parse_cue(const std::uint8_t *bytes, std::size_t size, const FileSizeLookup &file_size, Disc &disc,
               std::string &error) {
    std::string_view text(reinterpret_cast<const char *>(bytes), bytes ? size : 0);
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
    Parser parser;
    std::vector<std::string_view> words;
    int number = 0;
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        ++number;
        if (!split_words(line, words)) {
            error = "line " + std::to_string(number) + ": unterminated quote";
            return false;
        }
        if (!parser.line(number, words)) {
            error = parser.error();
            return false;
        }
        if (end == std::string_view::npos) break;
        // "\r\n" ends one line, not two.
        text.remove_prefix(end + (text.substr(end, 2) == "\r\n" ? 2 : 1));
    }
    if (!parser.finish(file_size, disc)) {
        error = parser.error();
        return false;
    }
    return true;
}

}  // namespace passthru::image
