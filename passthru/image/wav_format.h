#pragma once
// The header of a plain PCM WAV file (RIFF/WAVE with a fmt and a data chunk), for builds that read
// WAV files without libsndfile. Hand-written because no library for it is packaged for those
// (Windows cross) builds. A plain function over bytes, so a fuzzer can drive it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace passthru::image {

struct WavLayout {
    std::uint64_t data_offset = 0;  // where the samples start in the file
    std::uint64_t data_bytes = 0;   // whole frames only, and no more than the file holds
};

// `head` is the file's first `size` bytes (the data chunk's header must lie within them);
// `file_size` its full length. Accepts only CD audio: PCM (or WAVE_FORMAT_EXTENSIBLE PCM),
// 44100 Hz, 2 channels, 16-bit. False with the reason otherwise.
bool parse_wav_header(const std::uint8_t *head, std::size_t size, std::uint64_t file_size, WavLayout &layout,
                      std::string &why);

}  // namespace passthru::image
