#pragma once
// A FLAC file that carries its own cue sheet (a single-file rip): the sheet is made from its
// metadata and goes through the CUE parser like any other, with every FILE it names standing for
// the FLAC itself.
//
//   a CUESHEET tag (Vorbis comment)   the ripper's sheet text, taken as it is
//   else a CUESHEET block             tracks and indexes from their sample offsets, with the disc's
//                                     title and performer from the ALBUM (or TITLE) and
//                                     ALBUMARTIST (or ARTIST) tags
// A plain function over the metadata blocks' bytes, so a fuzzer can drive it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace passthru::image {

inline constexpr std::uint8_t kFlacVorbisComment = 4;
inline constexpr std::uint8_t kFlacCuesheet = 5;

// `cuesheet` and `comments` are the bodies of those blocks (empty when the file has none); a sheet
// made from the block names the file `file_name`. False with the reason when neither gives a sheet.
bool flac_sheet(const std::vector<std::uint8_t> &cuesheet, const std::vector<std::uint8_t> &comments,
                const std::string &file_name, std::string &sheet, std::string &why);

}  // namespace passthru::image
