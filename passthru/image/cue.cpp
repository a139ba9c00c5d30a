#include "passthru/image/cue.h"

#include <algorithm>
#include <optional>

#include "common/utf8.h"
#include "passthru/messages.h"
#include "passthru/text.h"

namespace passthru::image {
namespace {

constexpr std::int64_t kFramesPerSecond = 75;
constexpr std::int64_t kShortestTrack = 4 * kFramesPerSecond;

// ---- The sheet's text ----

enum class Encoding : std::uint8_t { utf8, eight_bit };

std::string utf16_to_utf8(std::string_view bytes, bool big_endian) {
    std::string out;
    auto unit = [&](std::size_t i) -> std::uint32_t {
        const auto a = static_cast<std::uint8_t>(bytes[i]), b = static_cast<std::uint8_t>(bytes[i + 1]);
        return big_endian ? (a << 8 | b) : (b << 8 | a);
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        append_utf8(out, cp);
    }
    return out;
}

// Decodes one UTF-8 sequence at `i`; nullopt when the bytes there are not UTF-8.
std::optional<std::uint32_t> utf8_at(std::string_view s, std::size_t &i) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    const int extra = b0 < 0x80 ? 0 : (b0 & 0xE0) == 0xC0 ? 1 : (b0 & 0xF0) == 0xE0 ? 2 : (b0 & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size()) return std::nullopt;
    std::uint32_t cp = extra == 0 ? b0 : b0 & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        cp = cp << 6 | (b & 0x3F);
    }
    static constexpr std::uint32_t kLowest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLowest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return std::nullopt;
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

bool is_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();)
        if (!utf8_at(s, i)) return false;
    return true;
}

// Windows-1252's 0x80..0x9F; the rest of its upper half is Latin-1.
constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

std::string cp1252_to_utf8(std::string_view s) {
    std::string out;
    for (char c : s) {
        const auto b = static_cast<std::uint8_t>(c);
        append_utf8(out, b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b);
    }
    return out;
}

// CD-Text is ISO 8859-1, as a drive serves it: every character the sheet holds is converted on its
// own, and one that ISO 8859-1 cannot hold becomes '?' (so "Œuvres" is "?uvres", never mojibake).
std::string to_latin1(std::string_view s, Encoding encoding) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        std::uint32_t cp = static_cast<std::uint8_t>(s[i]);
        if (encoding == Encoding::eight_bit) {
            if (cp >= 0x80 && cp < 0xA0) cp = kCp1252High[cp - 0x80];
            ++i;
        } else if (const auto decoded = utf8_at(s, i)) {
            cp = *decoded;
        } else {
            cp = 0xFFFD;  // not UTF-8 (cannot happen in a sheet read as UTF-8, but never loop)
            ++i;
        }
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    }
    return out;
}

// The sheet as UTF-8 (or its 8-bit bytes as they are), without a byte order mark.
std::string decode_sheet(std::string_view raw, Encoding &encoding) {
    encoding = Encoding::utf8;
    if (raw.substr(0, 2) == "\xFF\xFE") return utf16_to_utf8(raw.substr(2), false);
    if (raw.substr(0, 2) == "\xFE\xFF") return utf16_to_utf8(raw.substr(2), true);
    if (raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
    if (!is_utf8(raw)) encoding = Encoding::eight_bit;
    return std::string(raw);
}

// ---- Words ----

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

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

std::string time_text(std::int64_t frames) {
    auto two = [](std::int64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
    return two(frames / (60 * kFramesPerSecond)) + ":" + two(frames / kFramesPerSecond % 60) + ":" +
           two(frames % kFramesPerSecond);
}

// Splits a line into words; "quoted text" is one word. False on an unterminated quote.
bool split_words(std::string_view line, std::vector<std::string_view> &words) {
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (is_blank(line[i])) {
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
        while (end < line.size() && !is_blank(line[end])) ++end;
        words.push_back(line.substr(i, end - i));
        i = end;
    }
    return true;
}

// The text after the keyword: "quoted" (to the last quote) or the rest of the line.
std::string_view text_argument(std::string_view rest) {
    rest = trim(rest);
    if (rest.size() >= 2 && rest.front() == '"') {
        const auto close = rest.rfind('"');
        if (close > 0) return rest.substr(1, close - 1);
    }
    return rest;
}

// ---- The sheet's model ----

struct TypeName {
    std::string_view word;
    TrackMode mode;
    int sector_bytes;
};
constexpr TypeName kTrackTypes[] = {{"AUDIO", TrackMode::audio, 2352},
                                    {"MODE1/2352", TrackMode::mode1_2352, 2352},
                                    {"MODE1/2048", TrackMode::mode1_2048, 2048},
                                    {"MODE2/2352", TrackMode::mode2_2352, 2352},
                                    {"MODE2/2336", TrackMode::mode2_2336, 2336}};

std::string_view mode_word(TrackMode mode) {
    for (const TypeName &t : kTrackTypes)
        if (t.mode == mode) return t.word;
    return "?";
}

int sector_bytes_of(TrackMode mode) {
    for (const TypeName &t : kTrackTypes)
        if (t.mode == mode) return t.sector_bytes;
    return kSectorBytes;
}

struct CueIndex {
    int number;
    int file;
    std::int64_t position;  // sectors into that file
    int line;
};

struct CueTrack {
    int number = 0;
    int line = 0;
    TrackMode mode = TrackMode::audio;
    std::uint8_t control = 0;
    std::uint8_t session = 1;
    std::int64_t pregap = 0;
    std::int64_t postgap = 0;
    std::vector<CueIndex> indexes;  // ascending numbers
    CdText text;
    const CueIndex *find(int number) const {
        for (const CueIndex &i : indexes)
            if (i.number == number) return &i;
        return nullptr;
    }
};

struct CueFile {
    std::string name;
    std::string alternative;
    FileType type = FileType::binary;
    int line = 0;
    int sector_bytes = 0;  // 0 until a track's index lies in it
    std::int64_t last_position = 0;
    int indexes = 0;
    std::int64_t sectors = 0;
    FileFound found;
};

class Parser {
public:
    Parser(const FileLookup &lookup, Encoding encoding, std::vector<std::string> *notes)
        : lookup_(lookup), encoding_(encoding), notes_(notes) {}

    bool line(int number, std::string_view text) {
        line_ = number;
        if (!split_words(text, words_)) return fail(msg::quote_not_closed);
        if (words_.empty()) return true;
        const std::string_view key = words_[0];
        const std::string_view rest = text.substr(text.find(key) + key.size());
        if (same_word(key, "REM") && words_.size() >= 2 && same_word(words_[1], "SESSION")) return session();
        for (std::string_view skipped : {"REM", "CATALOG", "ISRC", "ARRANGER", "COMPOSER", "MESSAGE", "GENRE", "DISC_ID",
                                         "UPC_EAN", "TOC_INFO1", "TOC_INFO2", "SIZE_INFO"})
            if (same_word(key, skipped)) return true;
        if (same_word(key, "FILE")) return file(rest);
        if (same_word(key, "TRACK")) return track();
        if (same_word(key, "INDEX")) return index();
        if (same_word(key, "PREGAP")) return gap(true);
        if (same_word(key, "POSTGAP")) return gap(false);
        if (same_word(key, "FLAGS")) return flags();
        if (same_word(key, "TITLE")) return text_field(&CdText::title, rest);
        if (same_word(key, "PERFORMER")) return text_field(&CdText::performer, rest);
        if (same_word(key, "SONGWRITER")) return text_field(&CdText::songwriter, rest);
        if (same_word(key, "CDTEXTFILE")) return cdtext_file(rest);
        return fail(msg::cue_unknown_keyword(std::string(key)));
    }

    bool finish(Disc &disc) {
        line_ = 0;
        if (files_.empty()) return fail(msg::cue_no_file);
        if (!file_complete(files_.back())) return false;
        if (tracks_.empty()) return fail(msg::cue_no_track);
        if (!track_complete(tracks_.back(), msg::cue_sheet_end)) return false;
        for (std::size_t f = 0; f < files_.size(); ++f)
            if (!measure(files_[f])) return false;
        return lay_out(disc);
    }

    const std::string &error() const { return error_; }

private:
    bool fail(const std::string &why) { return fail_at(line_, why); }
    bool fail_at(int line, const std::string &why) {
        error_ = line > 0 ? msg::at_line(line, why) : why;
        return false;
    }
    void note(int line, const std::string &what) {
        if (notes_) notes_->push_back(msg::at_line(line, what));
    }

    bool file_complete(const CueFile &f) {
        if (f.indexes == 0)
            return fail_at(f.line, msg::cue_file_without_track(f.name));
        return true;
    }
    bool track_complete(const CueTrack &t, const std::string &where) {
        if (t.find(1)) return true;
        const CueIndex *i0 = t.find(0);
        return fail(msg::cue_index_01_missing(t.number, where, i0 ? i0->line : 0));
    }

    bool file(std::string_view rest) {
        rest = trim(rest);
        std::string_view name, type;
        if (!rest.empty() && rest.front() == '"') {
            const auto close = rest.find('"', 1);
            name = rest.substr(1, close - 1);
            type = trim(rest.substr(close + 1));
        } else {
            const auto last = rest.find_last_of(" \t");
            if (last != std::string_view::npos) {
                name = trim(rest.substr(0, last));
                type = rest.substr(last + 1);
            }
        }
        if (name.empty() || type.empty() || type.find_first_of(" \t") != std::string_view::npos)
            return fail(msg::cue_file_needs);
        if (!files_.empty() && !file_complete(files_.back())) return false;
        CueFile f;
        f.name = std::string(name);
        if (encoding_ == Encoding::eight_bit && !is_utf8(name)) f.alternative = cp1252_to_utf8(name);
        f.line = line_;
        if (same_word(type, "BINARY")) f.type = FileType::binary;
        else if (same_word(type, "MOTOROLA")) f.type = FileType::motorola;
        else if (same_word(type, "WAVE") || same_word(type, "AIFF") || same_word(type, "FLAC")) f.type = FileType::audio;
        else return fail(msg::cue_file_type(std::string(type)));
        files_.push_back(std::move(f));
        return true;
    }

    bool track() {
        if (files_.empty()) return fail(msg::cue_track_before_file);
        if (words_.size() != 3) return fail(msg::cue_track_needs);
        const auto number = small_number(words_[1], 99);
        if (!number || *number < 1) return fail(msg::cue_bad_track_number(std::string(words_[1])));
        if (!tracks_.empty()) {
            if (!track_complete(tracks_.back(), msg::cue_track_line(std::string(words_[1])))) return false;
            if (*number != tracks_.back().number + 1)
                return fail(msg::cue_track_order(*number, tracks_.back().number));
        }
        CueTrack t;
        t.number = *number;
        t.line = line_;
        const TypeName *type = nullptr;
        for (const TypeName &candidate : kTrackTypes)
            if (same_word(words_[2], candidate.word)) type = &candidate;
        if (!type)
            return fail(msg::cue_track_type(std::string(words_[2])));
        t.mode = type->mode;
        t.control = type->mode == TrackMode::audio ? 0x00 : kControlData;
        t.session = session_;
        tracks_.push_back(std::move(t));
        return true;
    }

    // REM SESSION nn: the tracks that follow belong to session nn.
    bool session() {
        const auto number = words_.size() == 3 ? small_number(words_[2], 99) : std::nullopt;
        if (!number || *number < 1) return fail(msg::cue_session_needs);
        if (*number < session_) return fail(msg::cue_session_backwards(std::string(words_[2])));
        session_ = static_cast<std::uint8_t>(*number);
        return true;
    }

    bool index() {
        if (tracks_.empty()) return fail(msg::cue_index_outside);
        CueTrack &t = tracks_.back();
        if (words_.size() != 3) return fail(msg::cue_index_needs);
        const auto number = small_number(words_[1], 99);
        if (!number) return fail(msg::cue_bad_index_number(std::string(words_[1])));
        if (!t.indexes.empty() && *number <= t.indexes.back().number)
            return fail(msg::cue_index_order(std::string(words_[1]), t.number));
        if (*number >= 2 && !t.find(1)) return fail(msg::cue_index_before_01(std::string(words_[1])));
        const auto position = parse_time(words_[2]);
        if (!position) return fail(msg::cue_bad_time(std::string(words_[2])));
        CueFile &f = files_.back();
        if (*position < f.last_position)
            return fail(msg::cue_index_backwards(std::string(words_[2]), time_text(f.last_position)));
        if (f.type == FileType::audio && t.mode != TrackMode::audio)
            return fail(msg::cue_data_in_wave(t.number, std::string(mode_word(t.mode))));
        const int bytes = sector_bytes_of(t.mode);
        if (f.sector_bytes != 0 && f.sector_bytes != bytes)
            return fail(msg::cue_sector_size_mix(f.name, f.sector_bytes, t.number, std::string(mode_word(t.mode))));
        f.sector_bytes = bytes;
        f.last_position = *position;
        ++f.indexes;
        t.indexes.push_back({*number, static_cast<int>(files_.size() - 1), *position, line_});
        return true;
    }

    bool gap(bool pre) {
        const std::string name = pre ? "PREGAP" : "POSTGAP";
        if (tracks_.empty()) return fail(msg::cue_gap_outside(name));
        CueTrack &t = tracks_.back();
        if (words_.size() != 2) return fail(msg::cue_gap_needs(name));
        const auto length = parse_time(words_[1]);
        if (!length) return fail(msg::cue_bad_time(std::string(words_[1])));
        if (pre && !t.indexes.empty()) return fail(msg::cue_pregap_after_index);
        std::int64_t &slot = pre ? t.pregap : t.postgap;
        if (slot != 0) return fail(msg::cue_gap_twice(name, t.number));
        slot = *length;
        return true;
    }

    bool flags() {
        if (tracks_.empty()) return fail(msg::cue_flags_outside);
        CueTrack &t = tracks_.back();
        for (std::size_t i = 1; i < words_.size(); ++i) {
            if (same_word(words_[i], "DCP")) t.control |= kControlCopy;
            else if (same_word(words_[i], "4CH")) t.control |= kControlFourCh;
            else if (same_word(words_[i], "PRE")) t.control |= kControlPreEmph;
            else if (!same_word(words_[i], "SCMS"))
                return fail(msg::cue_unknown_flag(std::string(words_[i])));
        }
        return true;
    }

    bool text_field(std::string CdText::*field, std::string_view rest) {
        CdText &text = tracks_.empty() ? disc_text_ : tracks_.back().text;
        text.*field = to_latin1(text_argument(rest), encoding_);
        return true;
    }

    bool cdtext_file(std::string_view rest) {
        const std::string name(text_argument(rest));
        if (name.empty()) return fail(msg::cue_cdtextfile_needs);
        FileFound found;
        std::string why;
        const std::string alternative = encoding_ == Encoding::eight_bit && !is_utf8(name) ? cp1252_to_utf8(name) : "";
        if (!lookup_ || !lookup_({name, alternative, FileType::cdtext}, found, why)) {
            note(line_, msg::cue_cdtext_unused(name, why));
            return true;
        }
        if (!found.note.empty()) note(line_, found.note);
        packs_ = std::move(found.packs);
        return true;
    }

    bool measure(CueFile &f) {
        std::string why;
        const FileQuery query{f.name, f.alternative, f.type};
        if (!lookup_ || !lookup_(query, f.found, why))
            return fail_at(f.line, msg::cue_cannot_use(f.name, why));
        if (!f.found.note.empty()) note(f.line, f.found.note);
        const std::uint64_t bytes = f.found.data_bytes;
        const auto sector = static_cast<std::uint64_t>(f.sector_bytes ? f.sector_bytes : kSectorBytes);
        if (bytes == 0) return fail_at(f.line, msg::cue_file_empty(f.name, f.type == FileType::audio));
        if (bytes / sector > static_cast<std::uint64_t>(kMaxLeadOut))
            return fail_at(f.line, msg::cue_file_too_long(f.name));
        f.sectors = static_cast<std::int64_t>((bytes + sector - 1) / sector);
        if (bytes % sector != 0)
            note(f.line, msg::cue_partial_sector(f.name, bytes % sector, sector));
        if (f.last_position >= f.sectors) {
            // A rip cut short: what is there plays, and the tracks the file no longer holds keep their
            // places as silence (the last of them the shortest track a CD may hold).
            note(f.line, msg::file_ends_before_index(f.name, time_text(f.sectors), time_text(f.last_position)));
            f.sectors = f.last_position + kShortestTrack;
        }
        return true;
    }

    // Lays the files' sectors out one after the other, with each track's PREGAP (and the previous
    // track's POSTGAP) inserted as silence before the track's first INDEX.
    bool lay_out(Disc &disc) {
        Disc out;
        std::vector<std::int64_t> base;  // each file's first sector in the sequence of all files
        std::int64_t total = 0;
        for (const CueFile &f : files_) {
            base.push_back(total);
            total += f.sectors;
            // A file typed BINARY or MOTOROLA that is an audio file after all was opened as one.
            const bool audio = f.type == FileType::audio || f.found.audio;
            out.files.push_back({f.found.path.empty() ? f.name : f.found.path, f.type == FileType::motorola && !audio,
                                 audio, f.found.data_bytes, f.found.source});
        }
        std::int64_t lba = 0, at = 0;
        bool too_long = false;
        auto emit = [&](SegmentKind kind, int file, std::int64_t file_sector, std::int64_t length) {
            if (length <= 0) return;
            if (lba + length > kMaxLeadOut) too_long = true;
            if (!too_long)
                out.segments.push_back({static_cast<std::int32_t>(lba), static_cast<std::int32_t>(length), kind, file,
                                        file_sector,
                                        file >= 0 && files_[file].sector_bytes ? files_[file].sector_bytes : kSectorBytes});
            lba += length;
        };
        auto files_up_to = [&](std::int64_t to) {  // the files' sectors from `at` up to `to`
            for (std::size_t f = 0; f < files_.size() && at < to; ++f) {
                const std::int64_t end = base[f] + files_[f].sectors;
                if (at >= end) continue;
                const std::int64_t n = std::min(end, to) - at;
                emit(SegmentKind::file, static_cast<int>(f), at - base[f], n);
                at += n;
            }
        };
        std::int64_t pending_postgap = 0;
        std::uint8_t session = 1;
        for (const CueTrack &t : tracks_) {
            const CueIndex &first = t.indexes.front();
            files_up_to(base[first.file] + first.position);
            emit(SegmentKind::silence, -1, 0, pending_postgap);
            // The image holds the sessions' tracks only; the lead-out, lead-in and pregap between
            // two sessions take disc addresses but hold nothing readable.
            if (t.session > session && !out.segments.empty())
                emit(SegmentKind::unreadable, -1, 0, session == 1 ? kFirstSessionGap : kLaterSessionGap);
            session = t.session;
            emit(SegmentKind::silence, -1, 0, t.pregap);
            const CueIndex &one = *t.find(1);
            const std::int64_t start = lba + (base[one.file] + one.position - at);
            if (!out.tracks.empty() && start <= out.tracks.back().start)
                return fail_at(t.line, msg::cue_track_empty_before(out.tracks.back().number, t.number));
            Track track{t.number, static_cast<std::int32_t>(std::min(start, kMaxLeadOut)), t.control};
            track.mode = t.mode;
            track.session = t.session;
            track.text = t.text;
            out.tracks.push_back(std::move(track));
            pending_postgap = t.postgap;
        }
        files_up_to(total);
        emit(SegmentKind::silence, -1, 0, pending_postgap);
        if (too_long || lba > kMaxLeadOut) return fail(msg::cue_disc_too_long);
        out.lead_out = static_cast<std::int32_t>(lba);
        if (out.tracks.back().start >= out.lead_out)
            return fail_at(tracks_.back().line, msg::cue_last_track_empty(out.tracks.back().number));
        out.text = disc_text_;
        out.cdtext_packs = std::move(packs_);
        disc = std::move(out);
        return true;
    }

    const FileLookup &lookup_;
    Encoding encoding_;
    std::vector<std::string> *notes_;
    std::vector<CueFile> files_;
    std::vector<CueTrack> tracks_;
    CdText disc_text_;
    std::vector<std::uint8_t> packs_;
    std::vector<std::string_view> words_;
    std::string error_;
    int line_ = 0;
    std::uint8_t session_ = 1;
};

}  // namespace

bool parse_cue(const std::uint8_t *bytes, std::size_t size, const FileLookup &lookup, Disc &disc, std::string &error,
               std::vector<std::string> *notes) {
    Encoding encoding;
    const std::string sheet = decode_sheet(std::string_view(reinterpret_cast<const char *>(bytes), bytes ? size : 0),
                                           encoding);
    std::string_view text = sheet;
    Parser parser(lookup, encoding, notes);
    int number = 0;
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        ++number;
        if (!parser.line(number, text.substr(0, end))) {
            error = parser.error();
            return false;
        }
        if (end == std::string_view::npos) break;
        // "\r\n" ends one line, not two.
        text.remove_prefix(end + (text.substr(end, 2) == "\r\n" ? 2 : 1));
    }
    if (!parser.finish(disc)) {
        error = parser.error();
        return false;
    }
    return true;
}

bool parse_cue(const std::uint8_t *bytes, std::size_t size, const FileSizeLookup &file_size, Disc &disc,
               std::string &error) {
    const FileLookup lookup = [&file_size](const FileQuery &q, FileFound &found, std::string &) {
        const auto bytes = file_size ? file_size(q.name) : std::nullopt;
        if (bytes) found.data_bytes = *bytes;
        return bytes.has_value();
    };
    return parse_cue(bytes, size, lookup, disc, error);
}

}  // namespace passthru::image
