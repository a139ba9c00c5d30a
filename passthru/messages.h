#pragma once
// What the virtual drives tell the user about the images they load and play, in one place. The
// back end prefixes each line with "wnaspi32: " and the sheet's name; a sheet's notes with its line.

#include <string>

namespace passthru::image::notice {

// A file cut short: the INDEX lines after its end keep their places as silence.
inline std::string file_ends_before_index(const std::string &name, const std::string &ends, const std::string &index) {
    return "'" + name + "' ends at " + ends + ", before its INDEX at " + index + "; the rest of it plays as silence";
}

// A file typed BINARY or MOTOROLA that begins with an audio file's header.
inline std::string audio_file_typed_raw(const std::string &name, const char *typed, const char *kind) {
    return "'" + name + "' is typed " + typed + " but is a " + kind + " file; it is read as one (type it WAVE in the sheet)";
}

// A BINARY file whose samples are stored most significant byte first.
inline std::string byte_swapped(const std::string &name) {
    return "'" + name + "' holds byte-swapped (big-endian) audio though it is typed BINARY; it is read swapped "
           "(type it MOTOROLA in the sheet)";
}

// An audio file that holds fewer samples than its header says (found while playing).
inline std::string audio_ends_early(const std::string &path, const std::string &ends, const std::string &stated) {
    return "'" + path + "' ends at " + ends + " though its header says " + stated + "; the rest of it plays as silence";
}

}  // namespace passthru::image::notice
