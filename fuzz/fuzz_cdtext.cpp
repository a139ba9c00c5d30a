// Fuzz target: READ TOC format 5 answers (CD-Text packs) as a drive might return them.
#include <cstddef>
#include <cstdint>

#include "cdrom/cdtext.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const CdTextTable table = parse_cdtext(data, size);
    // Touch every string, so a bad one shows under the sanitizers.
    std::size_t total = 0;
    for (const CdTextEntry &e : table.entries) total += title_and_performer(e).size();
    return total == static_cast<std::size_t>(-1) ? 1 : 0;
}
