#include "cdrom/cdtext.h"

#include <algorithm>
#include <array>
#include <vector>

#include "aspi/binding.h"
#include "cdrom/commands.h"
#include "common/byte_order.h"
#include "common/cdtext_crc.h"
#include "common/messages.h"
#include "common/utf8.h"

namespace {

constexpr std::size_t HEADER_BYTES = 4;
constexpr int ENTRIES = 100;
// The pack types (byte 0) read here, and the character codes (the size information's first byte).
enum PackType : std::uint8_t { PACK_TITLE = 0x80, PACK_PERFORMER = 0x81, PACK_SIZE_INFO = 0x8F };
enum CharacterCode : std::uint8_t { CHARSET_ISO_8859_1 = 0x00, CHARSET_ASCII = 0x01 };

struct Pack {
    const std::uint8_t *bytes;
    std::uint8_t type() const { return bytes[0]; }
    bool extension() const { return (bytes[1] & 0x80) != 0; }
    int track() const { return bytes[1] & 0x7F; }
    std::uint8_t sequence() const { return bytes[2]; }
    bool double_byte() const { return (bytes[3] & 0x80) != 0; }
    int block() const { return (bytes[3] >> 4) & 0x07; }
    int character_position() const { return bytes[3] & 0x0F; }
    const std::uint8_t *text() const { return bytes + 4; }
};

// Raw bytes of one pack type, entry by entry, as the disc spelled them.
using RawStrings = std::array<std::string, ENTRIES>;

// One pack type's text as it streams across its packs: the string being collected and whether all
// of it has been seen so far.
struct Stream {
    RawStrings strings;
    int entry = -1;
    std::string text;
    bool intact = false;
    int last_sequence = -1;

    void finish_string() {
        if (intact && entry >= 0 && entry < ENTRIES && !text.empty()) {
            // One TAB: the same as the previous track.
            strings[entry] = text == "\t" ? (entry > 0 ? strings[entry - 1] : std::string()) : text;
        }
        ++entry;
        text.clear();
        intact = true;
    }

    void take(const Pack &pack) {
        const bool follows = last_sequence >= 0 && pack.sequence() == ((last_sequence + 1) & 0xFF);
        if (pack.character_position() == 0) {
            // A string starts right here; one still open lost its end in a dropped pack.
            entry = pack.track();
            text.clear();
            intact = true;
        } else if (!follows || entry != pack.track()) {
            // The start of this string was in a pack we do not have.
            entry = pack.track();
            text.clear();
            intact = false;
        }
        for (std::size_t i = 0; i < CDTEXT_PACK_TEXT_BYTES; ++i) {
            const std::uint8_t b = pack.text()[i];
            if (b == 0) finish_string();
            else text.push_back(static_cast<char>(b));
        }
        last_sequence = pack.sequence();
    }
};

std::vector<Pack> usable_packs(const std::uint8_t *response, std::size_t length) {
    std::vector<Pack> packs;
    if (!response || length < HEADER_BYTES) return packs;
    length = std::min(length, std::size_t{2} + get_be16(response));
    for (std::size_t at = HEADER_BYTES; at + CDTEXT_PACK_BYTES <= length; at += CDTEXT_PACK_BYTES) {
        const Pack pack{response + at};
        if (!cdtext_pack_intact(pack.bytes) || pack.extension() || pack.block() != 0) continue;
        packs.push_back(pack);
    }
    return packs;
}

// The block's character code, from the first size-information pack; ISO 8859-1 when it is lost.
std::uint8_t character_code(const std::vector<Pack> &packs) {
    for (const Pack &pack : packs)
        if (pack.type() == PACK_SIZE_INFO && pack.track() == 0) return pack.text()[0];
    return CHARSET_ISO_8859_1;
}

// A character a terminal would take as a command (C0, DEL, C1), or one outside the code, is '?'.
std::string to_utf8(const std::string &raw, std::uint8_t charset) {
    std::string out;
    for (char c : raw) {
        const auto code = static_cast<unsigned char>(c);
        const bool control = code < 0x20 || (code >= 0x7F && code < 0xA0);
        const bool outside = charset == CHARSET_ASCII && code >= 0x80;
        append_utf8(out, control || outside ? '?' : code);
    }
    return out;
}

}  // namespace

std::string title_and_performer(const CdTextEntry &e) {
    if (e.title.empty() || e.performer.empty()) return e.title + e.performer;
    return e.title + msg::title_performer_separator + e.performer;
}

bool CdTextTable::empty() const {
    return std::all_of(entries.begin(), entries.end(),
                       [](const CdTextEntry &e) { return e.title.empty() && e.performer.empty(); });
}

CdTextTable parse_cdtext(const std::uint8_t *response, std::size_t length) {
    CdTextTable table;
    const std::vector<Pack> packs = usable_packs(response, length);
    const std::uint8_t charset = character_code(packs);
    if (charset != CHARSET_ISO_8859_1 && charset != CHARSET_ASCII) return table;

    Stream titles, performers;
    for (const Pack &pack : packs) {
        if (pack.double_byte()) continue;
        if (pack.type() == PACK_TITLE) titles.take(pack);
        if (pack.type() == PACK_PERFORMER) performers.take(pack);
    }
    for (int i = 0; i < ENTRIES; ++i) {
        table.entries[i].title = to_utf8(titles.strings[i], charset);
        table.entries[i].performer = to_utf8(performers.strings[i], charset);
    }
    return table;
}

namespace {

AspiBinding g_cdtext_binding;

constexpr std::uint32_t MAX_CDTEXT_BYTES = HEADER_BYTES + 8 * 256 * CDTEXT_PACK_BYTES;

// One READ TOC format 5 of `length` bytes into `response` (zeroed first); false unless it completed.
bool request_cdtext(AspiUnit unit, std::uint8_t *response, std::uint32_t length) {
    std::fill(response, response + length, 0);
    return aspi_send(&g_cdtext_binding, unit, build_read_cdtext(response, length)).end == AspiEnd::done;
}

}  // namespace

CdTextTable read_cdrom_cdtext(std::int32_t ha_id, std::int32_t target, std::int32_t lun) {
    CdTextTable table;
    if (!bind_aspi(&g_cdtext_binding)) return table;
    // The header first, for the length: some drives refuse an allocation length beyond the text.
    const AspiUnit unit = unit_at(ha_id, target, lun);
    std::uint8_t header[HEADER_BYTES];
    if (request_cdtext(unit, header, sizeof header)) {
        const std::uint32_t length = std::min<std::uint32_t>(2u + get_be16(header), MAX_CDTEXT_BYTES);
        if (length > HEADER_BYTES) {
            std::vector<std::uint8_t> response(length);
            if (request_cdtext(unit, response.data(), length))
                table = parse_cdtext(response.data(), response.size());
        }
    }
    release_aspi(&g_cdtext_binding);
    return table;
}
