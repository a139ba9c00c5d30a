#include "passthru/image/cdtext_packs.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/cdtext_crc.h"

namespace passthru::image {
namespace {

constexpr std::uint8_t kPackSizeInfo = 0x8F;
constexpr std::size_t kMaxPacks = 256;
constexpr std::size_t kSizeInfoPacks = 3;
constexpr std::uint8_t kLanguageEnglish = 0x09;

// The stream of one pack type: every entry's string (disc first, then each track) and its NUL.
struct TextStream {
    std::string bytes;
    std::vector<std::size_t> starts;  // where each entry's string begins
    std::vector<int> entries;         // the entry (0 = disc, n = track n) of each string
};

TextStream stream_of(const Disc &disc, std::string CdText::*field) {
    TextStream s;
    auto add = [&s](int entry, const std::string &text) {
        s.starts.push_back(s.bytes.size());
        s.entries.push_back(entry);
        s.bytes += text;
        s.bytes.push_back('\0');
    };
    add(0, disc.text.*field);
    const std::string *previous = nullptr;
    for (const Track &t : disc.tracks) {
        const std::string &text = t.text.*field;
        add(t.number, previous && !text.empty() && text == *previous ? std::string("\t") : text);
        previous = &text;
    }
    return s;
}

struct PackWriter {
    std::vector<std::uint8_t> out;
    std::array<std::uint8_t, 16> count_by_type{};

    std::size_t packs() const { return out.size() / CDTEXT_PACK_BYTES; }

    void add(std::uint8_t type, int track, int position, const std::uint8_t *text) {
        std::uint8_t pack[CDTEXT_PACK_BYTES] = {};
        pack[0] = type;
        pack[1] = static_cast<std::uint8_t>(track & 0x7F);
        pack[2] = static_cast<std::uint8_t>(packs());
        pack[3] = static_cast<std::uint8_t>(std::min(position, 15));  // block 0, single-byte
        std::copy(text, text + CDTEXT_PACK_TEXT_BYTES, pack + 4);
        cdtext_seal_pack(pack);
        out.insert(out.end(), pack, pack + CDTEXT_PACK_BYTES);
        ++count_by_type[type & 0x0F];
    }

    void add_stream(std::uint8_t type, const TextStream &s) {
        std::size_t string = 0;
        for (std::size_t at = 0; at < s.bytes.size() && packs() < kMaxPacks - kSizeInfoPacks;
             at += CDTEXT_PACK_TEXT_BYTES) {
            while (string + 1 < s.starts.size() && s.starts[string + 1] <= at) ++string;
            std::uint8_t text[CDTEXT_PACK_TEXT_BYTES] = {};
            const std::size_t n = std::min(CDTEXT_PACK_TEXT_BYTES, s.bytes.size() - at);
            std::copy(s.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      s.bytes.begin() + static_cast<std::ptrdiff_t>(at + n), text);
            add(type, s.entries[string], static_cast<int>(at - s.starts[string]), text);
        }
    }

    void add_size_info(const Disc &disc) {
        std::uint8_t info[kSizeInfoPacks * CDTEXT_PACK_TEXT_BYTES] = {};
        info[0] = 0x00;  // ISO 8859-1
        info[1] = static_cast<std::uint8_t>(disc.tracks.front().number);
        info[2] = static_cast<std::uint8_t>(disc.tracks.back().number);
        count_by_type[kPackSizeInfo & 0x0F] = kSizeInfoPacks;
        std::copy(count_by_type.begin(), count_by_type.end(), info + 4);
        info[20] = static_cast<std::uint8_t>(packs() + kSizeInfoPacks - 1);  // last sequence number, block 0
        info[28] = kLanguageEnglish;
        for (std::size_t i = 0; i < kSizeInfoPacks; ++i)
            add(kPackSizeInfo, static_cast<int>(i), 0, info + i * CDTEXT_PACK_TEXT_BYTES);
    }
};

bool has_any(const Disc &disc, std::string CdText::*field) {
    return !(disc.text.*field).empty() ||
           std::any_of(disc.tracks.begin(), disc.tracks.end(), [&](const Track &t) { return !(t.text.*field).empty(); });
}

}  // namespace

std::vector<std::uint8_t> encode_cdtext_packs(const Disc &disc) {
    PackWriter writer;
    if (disc.tracks.empty()) return {};
    const std::pair<std::uint8_t, std::string CdText::*> types[] = {
        {0x80, &CdText::title}, {0x81, &CdText::performer}, {0x82, &CdText::songwriter}};
    for (const auto &[type, field] : types)
        if (has_any(disc, field)) writer.add_stream(type, stream_of(disc, field));
    if (writer.packs() == 0) return {};
    writer.add_size_info(disc);
    return writer.out;
}

std::vector<std::uint8_t> cdtext_packs_of(const Disc &disc) {
    return disc.cdtext_packs.empty() ? encode_cdtext_packs(disc) : disc.cdtext_packs;
}

}  // namespace passthru::image
