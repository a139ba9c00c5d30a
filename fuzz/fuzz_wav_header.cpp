// The plain-WAV reader's header parser, on any file start and any claimed file length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "passthru/image/wav_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    // The head is the file's first bytes, so the file is never shorter than it.
    const std::uint64_t claimed = std::uint64_t{in.u32()} << 8 | in.byte();
    const std::uint64_t file_size = std::max<std::uint64_t>(claimed, size - in.at);
    passthru::image::WavLayout layout;
    std::string why;
    if (passthru::image::parse_wav_header(data + in.at, size - in.at, file_size, layout, why)) {
        // Whole frames, inside the file.
        if (layout.data_bytes % 4 != 0 || layout.data_offset + layout.data_bytes > file_size) __builtin_trap();
    }
    return 0;
}
