#pragma once
// CD-Text: the titles and performers a disc carries, as READ TOC format 5 returns them.
//
// parse_cdtext is a plain function over bytes from outside (a drive, a fuzzer): it never reads
// outside them and accepts anything. Only block 0 (the disc's first language) is read:
//   - a pack whose CRC fails is dropped, and with it every string it touched: text whose start or
//     end was in a dropped pack is not shown (a neighbour's text would take its place otherwise);
//   - a string that continues into the next pack is joined across them;
//   - a string of one TAB means "the same as the previous track";
//   - ISO 8859-1 and ASCII text becomes UTF-8; double-byte and other character codes are skipped;
//   - control characters (which a terminal would obey) become '?'.
// Without any usable pack the table is empty: a disc without CD-Text simply has no titles.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct CdTextEntry {
    std::string title;      // UTF-8, empty when the disc has none
    std::string performer;  // UTF-8, empty when the disc has none
};

// "Title - Performer", or whichever of the two there is; empty without either.
std::string title_and_performer(const CdTextEntry &entry);

// Entry 0 is the disc; entry n is track n (1-99).
struct CdTextTable {
    std::array<CdTextEntry, 100> entries;
    bool empty() const;
};

// Parses a READ TOC format 5 answer of which the first `length` bytes are valid: a 4-byte header
// (data length, two reserved bytes) followed by 18-byte packs; the header's data length narrows
// `length` further.
CdTextTable parse_cdtext(const std::uint8_t *response, std::size_t length);

// Sends READ TOC format 5 to the unit and parses the answer. One call at a time, from any thread:
// it binds a binding of its own for the call, so it may run while playback reads sectors through
// the reader's (the front end calls it once playback has started). A unit or disc without
// CD-Text, or any failure, gives an empty table; nothing is printed but what the exchange prints.
CdTextTable read_cdrom_cdtext(std::int32_t ha_id, std::int32_t target, std::int32_t lun);
