// The table of contents parsers, on any READ TOC answer of any length: format 0 (the tracks), then
// the same bytes as a format 1 answer (sessions) judged against that table.
#include <cstddef>
#include <cstdint>

#include "cdrom/toc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static CdromToc toc;
    parse_cdrom_toc(data, size, &toc);
    if (toc.track_count < 0 || toc.track_count >= CDROM_TOC_ENTRIES) __builtin_trap();
    parse_session_info(data, size, &toc);
    return 0;
}
