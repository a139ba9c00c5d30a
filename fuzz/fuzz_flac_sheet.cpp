// The sheet a FLAC file's metadata makes, on any bytes: the first byte splits the rest into a
// CUESHEET block and a Vorbis comment block.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "passthru/image/flac_sheet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t split = std::min<std::size_t>(size - 1, std::size_t{data[0]} * 4);
    const std::vector<std::uint8_t> cuesheet(data + 1, data + 1 + split), comments(data + 1 + split, data + size);
    std::string sheet, why;
    passthru::image::flac_sheet(cuesheet, comments, "image.flac", sheet, why);
    return 0;
}
