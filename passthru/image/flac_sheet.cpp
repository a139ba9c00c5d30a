#include "passthru/image/flac_sheet.h"

#include <string_view>

#include "passthru/messages.h"

namespace passthru::image {
namespace {

constexpr std::size_t kCuesheetHeadBytes = 128 + 8 + 259 + 1;  // catalog, lead-in, flags, track count
constexpr std::size_t kTrackBytes = 8 + 1 + 12 + 14 + 1;       // offset, number, ISRC, flags, indexes
constexpr std::size_t kIndexBytes = 8 + 1 + 3;
constexpr std::uint64_t kSamplesPerSector = 588;

std::uint64_t be64(const std::uint8_t *p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}
std::uint32_t le32(const std::uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The value of tag `key` (any letter case), or empty.
std::string tag(const std::vector<std::uint8_t> &comments, std::string_view key) {
    if (comments.size() < 4) return {};
    std::size_t at = 4 + std::size_t{le32(comments.data())};
    if (at + 4 > comments.size() || at < 4) return {};
    std::uint32_t count = le32(comments.data() + at);
    at += 4;
    for (; count > 0 && at + 4 <= comments.size(); --count) {
        const std::size_t length = le32(comments.data() + at);
        at += 4;
        if (length > comments.size() - at) break;
        const std::string_view entry(reinterpret_cast<const char *>(comments.data() + at), length);
        at += length;
        const auto equals = entry.find('=');
        if (equals != key.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < key.size() && same; ++i) same = upper(entry[i]) == key[i];
        if (same) return std::string(entry.substr(equals + 1));
    }
    return {};
}

std::string two(std::uint64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); }

std::string msf(std::uint64_t samples) {
    const std::uint64_t frames = samples / kSamplesPerSector;
    return two(frames / 4500) + ":" + two(frames / 75 % 60) + ":" + two(frames % 75);
}

// Text for a quoted sheet argument: no line ends inside it.
std::string one_line(std::string text) {
    for (char &c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

bool sheet_from_block(const std::vector<std::uint8_t> &block, const std::vector<std::uint8_t> &comments,
                      const std::string &file_name, std::string &sheet, std::string &why) {
    if (block.size() < kCuesheetHeadBytes) {
        why = msg::flac_cuesheet_cut_short;
        return false;
    }
    std::string out;
    const std::string album = tag(comments, "ALBUM").empty() ? tag(comments, "TITLE") : tag(comments, "ALBUM");
    const std::string artist = tag(comments, "ALBUMARTIST").empty() ? tag(comments, "ARTIST") : tag(comments, "ALBUMARTIST");
    if (!artist.empty()) out += "PERFORMER \"" + one_line(artist) + "\"\n";
    if (!album.empty()) out += "TITLE \"" + one_line(album) + "\"\n";
    out += "FILE \"" + one_line(file_name) + "\" WAVE\n";
    const std::size_t tracks = block[kCuesheetHeadBytes - 1];
    std::size_t at = kCuesheetHeadBytes;
    int written = 0;
    for (std::size_t t = 0; t < tracks; ++t) {
        if (block.size() - at < kTrackBytes) {
            why = msg::flac_cuesheet_cut_short;
            return false;
        }
        const std::uint64_t offset = be64(block.data() + at);
        const int number = block[at + 8];
        const std::size_t indexes = block[at + kTrackBytes - 1];
        at += kTrackBytes;
        if (block.size() - at < indexes * kIndexBytes) {
            why = msg::flac_cuesheet_cut_short;
            return false;
        }
        if (number >= 1 && number <= 99) {
            out += "  TRACK " + two(static_cast<std::uint64_t>(number)) + " AUDIO\n";
            for (std::size_t i = 0; i < indexes; ++i) {
                const std::uint8_t *index = block.data() + at + i * kIndexBytes;
                out += "    INDEX " + two(index[8]) + " " + msf(offset + be64(index)) + "\n";
            }
            ++written;
        }
        at += indexes * kIndexBytes;
    }
    if (written == 0) {
        why = msg::flac_cuesheet_no_track;
        return false;
    }
    sheet = std::move(out);
    return true;
}

}  // namespace

bool flac_sheet(const std::vector<std::uint8_t> &cuesheet, const std::vector<std::uint8_t> &comments,
                const std::string &file_name, std::string &sheet, std::string &why) {
    const std::string text = tag(comments, "CUESHEET");
    if (!text.empty()) {
        sheet = text;
        return true;
    }
    if (!cuesheet.empty()) return sheet_from_block(cuesheet, comments, file_name, sheet, why);
    why = msg::flac_no_sheet;
    return false;
}

}  // namespace passthru::image
