#pragma once
// CUE sheets: from the sheet's bytes to a Disc.
//
// Understood: FILE "name" BINARY|MOTOROLA (raw 2352-byte sectors, little- or big-endian samples),
// TRACK nn AUDIO|MODE1/2352|MODE2/2352 (numbers 1..99, consecutive), INDEX nn mm:ss:ff (positions
// within the current FILE; INDEX 00 starts a pregap whose audio is in the file, INDEX 01 starts the
// track), PREGAP / POSTGAP mm:ss:ff (silence not in the file), FLAGS DCP|4CH|PRE|SCMS; TITLE,
// PERFORMER and SONGWRITER "text" (the disc's before the first TRACK, the track's after it, bytes as
// written); CATALOG, CDTEXTFILE, ISRC and REM are skipped. Keywords are case-insensitive.
//
// Addresses follow MMC: the first sector of the first file is LBA 0; a track starts at
//   (sectors of earlier files) + (its INDEX 01 position) + (all PREGAP/POSTGAP silence before it);
// the lead-out follows the last file's last sector and the last POSTGAP.
//
// Anything else is rejected with a reason: unknown keywords, bad timestamps (ss >= 60, ff >= 75),
// tracks out of order or without INDEX 01, indexes going backwards, other file or track types,
// a missing file, a file whose size is not a whole number of 2352-byte sectors, a disc longer than
// MSF addresses can express. The parser takes any bytes (it never reads outside the buffer) and
// learns file sizes only through `file_size`, so a fuzzer can drive it without files.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "passthru/image/disc.h"

namespace passthru::image {

// Size in bytes of the file the sheet names (as written in the sheet), or nullopt when it cannot
// be read.
using FileSizeLookup = std::function<std::optional<std::uint64_t>(std::string_view name)>;

// On success fills `disc` (its files carry the names as written) and returns true; otherwise
// returns false with a one-line reason in `error` ("line 7: ...").
bool parse_cue(const std::uint8_t *bytes, std::size_t size, const FileSizeLookup &file_size, Disc &disc,
               std::string &error);

}  // namespace passthru::image
