// The CUE sheet parser, on any bytes. File sizes come from the names, so no file is touched: a
// name's length picks a whole number of sectors, and a name starting with '!' is a file that
// cannot be read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "passthru/image/cue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const passthru::image::FileSizeLookup size_of =
        [](std::string_view name) -> std::optional<std::uint64_t> {
        if (name.empty() || name.front() == '!') return std::nullopt;
        return std::uint64_t{2352} * (name.size() * 733 % 20000);
    };
    passthru::image::Disc disc;
    std::string error;
    passthru::image::parse_cue(data, size, size_of, disc, error);
    return 0;
}
