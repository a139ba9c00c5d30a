#pragma once
// Whether a BINARY file's audio is stored byte-swapped (big-endian, as cdrdao and some converters
// write it): played as it is, such a file is full-scale noise.
//
// Music and speech change little from one sample to the next. Read with the wrong byte order, the
// low byte (which varies almost at random) becomes the high one, and the samples jump by a third of
// the full scale on average. So the judge sums |x[n] - x[n-1]| per channel with the samples read as
// stored and read swapped, and calls the file swapped only when the stored reading is loud, several
// times rougher than the swapped one, and its high bytes take many of their 256 values (as the low
// bytes of any real audio do; a square wave's do not) while its low bytes are not all zero (8-bit
// audio widened to 16 bits). Silence, tones, noise and clipped audio read the right way round never
// get there (tests/passthru/byte_order_test.cpp measures it).

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "passthru/image/disc.h"

namespace passthru::image {

struct Roughness {
    double as_stored = 0;  // sum of |x[n] - x[n-1]|, samples little-endian
    double swapped = 0;    // the same with each sample's two bytes exchanged
    std::uint64_t steps = 0;
    std::bitset<256> high_bytes;     // the values the stored high bytes took
    std::uint64_t nonzero_low = 0;   // samples whose stored low byte is not 0
};

// Adds the roughness of `bytes` bytes of CD frames (16-bit stereo, little-endian as stored).
void add_roughness(const std::uint8_t *pcm, std::size_t bytes, Roughness &r);

// True when the audio measured is clearly byte-swapped.
bool looks_byte_swapped(const Roughness &r);

// Judges each BINARY file behind the disc's audio tracks from the first seconds of every track
// that starts in it, and marks the swapped ones big-endian. Returns the indexes of the files it
// marked. Reads the files (call it once the disc's sources are open).
std::vector<int> read_swapped_files_swapped(Disc &disc);

}  // namespace passthru::image
