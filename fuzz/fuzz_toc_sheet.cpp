// cdrdao .toc files, on any bytes: read and written out as a CUE sheet, which the CUE parser then
// takes as it would from the library (every file it names holds 900 sectors).
#include <cstddef>
#include <cstdint>
#include <string>

#include "passthru/image/cue.h"
#include "passthru/image/toc_sheet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string cue, error;
    if (!passthru::image::toc_to_cue(data, size, cue, error)) return 0;
    static const passthru::image::FileSizeLookup size_of = [](std::string_view) -> std::optional<std::uint64_t> {
        return std::uint64_t{2352} * 900;
    };
    passthru::image::Disc disc;
    passthru::image::parse_cue(reinterpret_cast<const std::uint8_t *>(cue.data()), cue.size(), size_of, disc, error);
    return 0;
}
