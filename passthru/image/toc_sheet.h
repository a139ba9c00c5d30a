#pragma once
// cdrdao's .toc files: read and written out as the CUE sheet that says the same, which then goes
// through the CUE parser (cue.h) and its layout like any sheet.
//
// Understood: CD_DA / CD_ROM / CD_ROM_XA; CATALOG; CD_TEXT blocks (TITLE, PERFORMER, SONGWRITER of
// LANGUAGE 0, for the disc before the first TRACK or for its track); TRACK AUDIO / MODE1 /
// MODE1_RAW / MODE2 / MODE2_RAW (a sub-channel word after it is skipped); COPY, NO COPY,
// PRE_EMPHASIS, NO PRE_EMPHASIS, TWO_CHANNEL_AUDIO, FOUR_CHANNEL_AUDIO; ISRC; AUDIOFILE / FILE
// "name" start [length] (start and length as m:s:f, a sample count, or for start "#bytes");
// DATAFILE "name" [length]; SILENCE / PREGAP / ZERO length (silence, before the track's file data
// or after it); SWAP; START [m:s:f]; INDEX m:s:f; // comments.
// Raw audio files are big-endian unless SWAP says otherwise, as cdrdao reads them (MOTOROLA in the
// sheet); a .wav file is WAVE. A track's file data must follow on from the track before when both
// are in one file (a CUE sheet cannot skip part of a file); anything else is refused with the
// line and what was expected. A plain function over bytes, so a fuzzer can drive it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace passthru::image {

bool toc_to_cue(const std::uint8_t *bytes, std::size_t size, std::string &cue, std::string &error);

}  // namespace passthru::image
