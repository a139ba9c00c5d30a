#include "passthru/image/toc_sheet.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "passthru/messages.h"

namespace passthru::image {
namespace {

struct Token {
    std::string text;
    bool quoted = false;
    int line = 0;
};

// Words, "strings" (with cdrdao's \" and \ooo escapes), and the braces; // starts a comment.
bool tokens_of(std::string_view s, std::vector<Token> &out, std::string &error) {
    int line = 1;
    for (std::size_t i = 0; i < s.size();) {
        const char c = s[i];
        if (c == '\n') ++line;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            while (i < s.size() && s[i] != '\n') ++i;
        } else if (c == '{' || c == '}') {
            out.push_back({std::string(1, c), false, line});
            ++i;
        } else if (c == '"') {
            Token t{"", true, line};
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\n') {
                    break;
                } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
                           s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
                    t.text += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
                    i += 3;
                } else if (s[i] == '\\' && i + 1 < s.size()) {
                    t.text += s[++i];
                } else {
                    t.text += s[i];
                }
            }
            if (i >= s.size() || s[i] != '"') {
                error = msg::at_line(line, msg::quote_not_closed);
                return false;
            }
            ++i;
            out.push_back(std::move(t));
        } else {
            std::size_t end = i;
            while (end < s.size() && std::string_view(" \t\r\n{}\"").find(s[end]) == std::string_view::npos) ++end;
            out.push_back({std::string(s.substr(i, end - i)), false, line});
            i = end;
        }
    }
    return true;
}

std::optional<std::uint64_t> number(const std::string &s) {
    if (s.empty() || s.size() > 12) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + std::uint64_t(c - '0');
    }
    return v;
}

// m:s:f, or a count of samples, in sectors (whole ones: a sample count is rounded down).
std::optional<std::uint64_t> sectors_of(const std::string &s) {
    const auto c1 = s.find(':');
    if (c1 == std::string::npos) {
        const auto samples = number(s);
        return samples ? std::optional<std::uint64_t>(*samples / 588) : std::nullopt;
    }
    const auto c2 = s.find(':', c1 + 1);
    if (c2 == std::string::npos) return std::nullopt;
    const auto m = number(s.substr(0, c1)), sec = number(s.substr(c1 + 1, c2 - c1 - 1)), f = number(s.substr(c2 + 1));
    if (!m || !sec || !f || *m > 999 || *sec > 59 || *f > 74) return std::nullopt;
    return (*m * 60 + *sec) * 75 + *f;
}

std::string msf(std::uint64_t sectors) {
    auto two = [](std::uint64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
    return two(sectors / 4500) + ":" + two(sectors / 75 % 60) + ":" + two(sectors % 75);
}

struct TocTrack {
    int line = 0;
    std::string mode = "AUDIO";
    int sector_bytes = 2352;
    std::string flags;
    std::string title, performer, songwriter;
    std::string file;         // empty: no file data yet
    bool swap = false;
    bool data_file = false;
    std::uint64_t file_start = 0;  // sectors into the file
    std::optional<std::uint64_t> file_length;
    std::uint64_t pregap = 0, postgap = 0;
    std::optional<std::uint64_t> start;  // START: sectors of the file data before INDEX 01
    std::vector<std::uint64_t> indexes;  // INDEX 02.. after INDEX 01
};

struct ModeName {
    const char *toc;
    const char *cue;
    int sector_bytes;
};
constexpr ModeName kModes[] = {{"AUDIO", "AUDIO", 2352},          {"MODE1", "MODE1/2048", 2048},
                               {"MODE1_RAW", "MODE1/2352", 2352}, {"MODE2", "MODE2/2336", 2336},
                               {"MODE2_RAW", "MODE2/2352", 2352}};

bool ends_with_wav(const std::string &name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char &c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ext == ".wav";
}

class TocReader {
public:
    explicit TocReader(std::vector<Token> tokens) : t_(std::move(tokens)) {}

    bool read(std::string &cue, std::string &error) {
        while (at_ < t_.size())
            if (!statement()) {
                error = error_;
                return false;
            }
        if (tracks_.empty()) return fail_at(0, msg::toc_no_track, error);
        return write(cue, error);
    }

private:
    bool statement() {
        const Token &k = t_[at_++];
        const std::string &w = k.text;
        if (w == "CD_DA" || w == "CD_ROM" || w == "CD_ROM_XA" || w == "TWO_CHANNEL_AUDIO") return true;
        if (w == "CATALOG" || w == "ISRC") return skip_value();
        if (w == "CD_TEXT") return cd_text();
        if (w == "TRACK") return track(k);
        if (tracks_.empty()) return fail(k, msg::toc_before_first_track(w));
        TocTrack &t = tracks_.back();
        if (w == "COPY") return t.flags += " DCP", true;
        if (w == "PRE_EMPHASIS") return t.flags += " PRE", true;
        if (w == "FOUR_CHANNEL_AUDIO") return t.flags += " 4CH", true;
        if (w == "NO") return at_ < t_.size() && (t_[at_].text == "COPY" || t_[at_].text == "PRE_EMPHASIS") ? (++at_, true)
                                                                                                             : fail(k, msg::toc_no_what);
        if (w == "SWAP") return t.swap = true, true;
        if (w == "SILENCE" || w == "PREGAP" || w == "ZERO") return silence(k, t);
        if (w == "AUDIOFILE" || w == "FILE" || w == "DATAFILE") return file(k, t, w == "DATAFILE");
        if (w == "START") return start(t);
        if (w == "INDEX") {
            const auto v = at_ < t_.size() ? sectors_of(t_[at_].text) : std::nullopt;
            if (!v) return fail(k, msg::toc_index_needs);
            ++at_;
            t.indexes.push_back(*v);
            return true;
        }
        return fail(k, msg::toc_unknown_word(w));
    }

    bool track(const Token &k) {
        if (at_ >= t_.size()) return fail(k, msg::toc_track_needs);
        const std::string &mode = t_[at_++].text;
        TocTrack t;
        t.line = k.line;
        const ModeName *found = nullptr;
        for (const ModeName &m : kModes)
            if (mode == m.toc) found = &m;
        if (!found) return fail(k, msg::toc_track_mode(mode));
        t.mode = found->cue;
        t.sector_bytes = found->sector_bytes;
        if (at_ < t_.size() && (t_[at_].text == "RW" || t_[at_].text == "RW_RAW")) ++at_;
        if (tracks_.size() == 99) return fail(k, msg::toc_too_many_tracks);
        tracks_.push_back(std::move(t));
        return true;
    }

    bool silence(const Token &k, TocTrack &t) {
        if (k.text == "ZERO" && at_ < t_.size() && !sectors_of(t_[at_].text)) ++at_;  // its data mode
        const auto v = at_ < t_.size() ? sectors_of(t_[at_].text) : std::nullopt;
        if (!v) return fail(k, msg::toc_needs_length(k.text));
        ++at_;
        (t.file.empty() ? t.pregap : t.postgap) += *v;
        return true;
    }

    bool file(const Token &k, TocTrack &t, bool data) {
        if (at_ >= t_.size() || !t_[at_].quoted) return fail(k, msg::toc_needs_file(k.text));
        if (!t.file.empty()) return fail(k, msg::toc_second_file);
        t.file = t_[at_++].text;
        t.data_file = data;
        if (t.file.empty() || t.file == "-") return fail(k, msg::toc_no_file_name);
        const FilePlace &previous = place_;
        t.file_start = previous.file == t.file ? previous.next : 0;
        if (!data) {
            if (at_ >= t_.size()) return fail(k, msg::toc_needs_start(k.text));
            const std::string &s = t_[at_].text;
            std::optional<std::uint64_t> v;
            if (!s.empty() && s[0] == '#') {
                const auto bytes = number(s.substr(1));
                if (bytes) v = *bytes / 2352;
            } else {
                v = sectors_of(s);
            }
            if (!v) return fail(k, msg::toc_bad_start(s));
            ++at_;
            t.file_start = *v;
        }
        if (at_ < t_.size() && !t_[at_].quoted) {
            const std::string &s = t_[at_].text;
            std::optional<std::uint64_t> length;
            if (!s.empty() && s[0] == '#') {
                const auto bytes = number(s.substr(1));
                if (bytes) length = *bytes / std::uint64_t(t.sector_bytes);
            } else {
                length = sectors_of(s);
            }
            if (length) {
                ++at_;
                t.file_length = length;
            }
        }
        if (previous.file == t.file && t.file_start != previous.next)
            return fail(k, msg::toc_file_skipped(t.file, msf(t.file_start), msf(previous.next)));
        place_ = {t.file, t.file_length ? t.file_start + *t.file_length : 0};
        if (!t.file_length) place_.file.clear();  // runs to the end of the file: nothing can follow in it
        return true;
    }

    bool start(TocTrack &t) {
        if (at_ < t_.size()) {
            if (const auto v = sectors_of(t_[at_].text)) {
                ++at_;
                t.start = *v;
                return true;
            }
        }
        t.start = t.pregap;  // START alone: the track so far is its pregap
        return true;
    }

    bool cd_text() {
        if (at_ >= t_.size() || t_[at_].text != "{") return fail(here(), msg::toc_cd_text_needs);
        ++at_;
        while (at_ < t_.size() && t_[at_].text != "}") {
            const Token &k = t_[at_++];
            if (k.text == "LANGUAGE_MAP") {
                if (!skip_value()) return false;
            } else if (k.text == "LANGUAGE") {
                const bool first = at_ < t_.size() && t_[at_].text == "0";
                if (at_ < t_.size()) ++at_;
                if (!language(first)) return false;
            } else {
                return fail(k, msg::toc_cd_text_unknown(k.text));
            }
        }
        if (at_ >= t_.size()) return fail(t_.back(), msg::toc_cd_text_open);
        ++at_;
        return true;
    }

    bool language(bool keep) {
        if (at_ >= t_.size() || t_[at_].text != "{") return fail(here(), msg::toc_language_needs);
        ++at_;
        while (at_ < t_.size() && t_[at_].text != "}") {
            const std::string key = t_[at_++].text;
            if (at_ < t_.size() && t_[at_].quoted && keep) {
                const CdTextFields text = tracks_.empty() ? disc_ : fields_of(tracks_.back());
                if (key == "TITLE") *text.title = t_[at_].text;
                if (key == "PERFORMER") *text.performer = t_[at_].text;
                if (key == "SONGWRITER") *text.songwriter = t_[at_].text;
            }
            if (!skip_value()) return false;
        }
        if (at_ >= t_.size()) return fail(t_.back(), msg::toc_language_open);
        ++at_;
        return true;
    }

    // One value: a word, a string, or a { ... } block (nested blocks too).
    bool skip_value() {
        if (at_ >= t_.size()) return fail(t_.back(), msg::toc_value_missing);
        if (t_[at_].text != "{" || t_[at_].quoted) return ++at_, true;
        int depth = 0;
        for (; at_ < t_.size(); ++at_) {
            if (t_[at_].quoted) continue;
            if (t_[at_].text == "{") ++depth;
            if (t_[at_].text == "}" && --depth == 0) return ++at_, true;
        }
        return fail(t_.back(), msg::toc_block_open);
    }

    struct CdTextFields {
        std::string *title, *performer, *songwriter;
    };
    CdTextFields fields_of(TocTrack &t) { return {&t.title, &t.performer, &t.songwriter}; }

    bool write(std::string &cue, std::string &error) {
        auto quoted = [](const std::string &s) { return "\"" + s + "\""; };
        if (!disc_title_.empty()) cue += "TITLE " + quoted(disc_title_) + "\n";
        if (!disc_performer_.empty()) cue += "PERFORMER " + quoted(disc_performer_) + "\n";
        if (!disc_songwriter_.empty()) cue += "SONGWRITER " + quoted(disc_songwriter_) + "\n";
        std::string file;
        int number = 0;
        for (const TocTrack &t : tracks_) {
            ++number;
            if (t.file.empty()) return fail_at(t.line, msg::toc_track_without_file(number), error);
            if (t.file != file) {
                const char *type = t.data_file || t.mode != "AUDIO" ? "BINARY" : ends_with_wav(t.file) ? "WAVE" : t.swap ? "BINARY" : "MOTOROLA";
                cue += "FILE " + quoted(t.file) + " " + type + "\n";
                file = t.file;
            }
            cue += "  TRACK " + std::string(number < 10 ? "0" : "") + std::to_string(number) + " " + t.mode + "\n";
            if (!t.flags.empty()) cue += "    FLAGS" + t.flags + "\n";
            if (!t.title.empty()) cue += "    TITLE " + quoted(t.title) + "\n";
            if (!t.performer.empty()) cue += "    PERFORMER " + quoted(t.performer) + "\n";
            if (!t.songwriter.empty()) cue += "    SONGWRITER " + quoted(t.songwriter) + "\n";
            // START counts the silence before the file data too: that part stays silence (PREGAP).
            const std::uint64_t in_pregap = t.start ? *t.start : 0;
            const std::uint64_t silent = std::min(in_pregap, t.pregap);
            const std::uint64_t in_file = in_pregap - silent;
            if (t.pregap > 0) cue += "    PREGAP " + msf(t.pregap) + "\n";
            if (in_file > 0) cue += "    INDEX 00 " + msf(t.file_start) + "\n";
            cue += "    INDEX 01 " + msf(t.file_start + in_file) + "\n";
            for (std::size_t i = 0; i < t.indexes.size() && i < 97; ++i)
                cue += "    INDEX " + std::string(i + 2 < 10 ? "0" : "") + std::to_string(i + 2) + " " +
                       msf(t.file_start + in_file + t.indexes[i]) + "\n";
            if (t.postgap > 0) cue += "    POSTGAP " + msf(t.postgap) + "\n";
        }
        return true;
    }

    // The token being read, or the last one at the end (for the line of a message).
    const Token &here() const { return at_ < t_.size() ? t_[at_] : t_.back(); }

    bool fail(const Token &k, const std::string &why) {
        error_ = msg::at_line(k.line, why);
        return false;
    }
    bool fail_at(int line, const std::string &why, std::string &error) {
        error = line > 0 ? msg::at_line(line, why) : why;
        return false;
    }

    struct FilePlace {
        std::string file;        // the file the last track's data came from, if it may go on
        std::uint64_t next = 0;  // where the next track's data must start in it
    };

    std::vector<Token> t_;
    std::size_t at_ = 0;
    std::vector<TocTrack> tracks_;
    std::string disc_title_, disc_performer_, disc_songwriter_;
    CdTextFields disc_{&disc_title_, &disc_performer_, &disc_songwriter_};
    FilePlace place_;
    std::string error_;
};

}  // namespace

bool toc_to_cue(const std::uint8_t *bytes, std::size_t size, std::string &cue, std::string &error) {
    std::vector<Token> tokens;
    if (!tokens_of(std::string_view(reinterpret_cast<const char *>(bytes), bytes ? size : 0), tokens, error)) return false;
    if (tokens.empty()) {
        error = msg::toc_empty;
        return false;
    }
    TocReader reader(std::move(tokens));
    cue.clear();
    return reader.read(cue, error);
}

}  // namespace passthru::image
