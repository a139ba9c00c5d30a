#pragma once
// CD-Text packs as a drive returns them for READ TOC format 5, written from a Disc's texts.

#include <cstdint>
#include <vector>

#include "passthru/image/disc.h"

namespace passthru::image {

// The packs (18 bytes each, CRC set, no 4-byte header) of one block in ISO 8859-1, English:
// titles (0x80), performers (0x81) and songwriters (0x82) of the disc and its tracks, each type
// only when some text of it exists, a track whose text equals the previous track's written as the
// one-TAB "same as previous", then the three size-information packs (0x8F). Empty when the disc
// has no text at all. Text beyond what one block holds (256 packs) is cut off.
std::vector<std::uint8_t> encode_cdtext_packs(const Disc &disc);

// What READ TOC format 5 serves: the disc's own packs when it has them, otherwise the encoded ones.
std::vector<std::uint8_t> cdtext_packs_of(const Disc &disc);

}  // namespace passthru::image
