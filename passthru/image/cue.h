#pragma once
// CUE sheets: from the sheet's bytes to a Disc.
//
// Text: UTF-8 with or without a byte order mark, UTF-16 LE/BE with one, or 8-bit bytes (Latin-1 /
// Windows-1252, as older Windows tools write them); CR, LF or CRLF line ends, tabs, blank lines;
// keywords in any case.
//
// Understood:
//   FILE name BINARY|MOTOROLA|WAVE   name quoted, or unquoted with spaces (the type is the last
//                                    word); BINARY/MOTOROLA hold raw sectors (little- or big-endian
//                                    samples), WAVE (also AIFF, FLAC) an audio file of CD frames
//   TRACK nn AUDIO|MODE1/2352|MODE1/2048|MODE2/2352|MODE2/2336
//                                    numbers 1..99, consecutive; a data mode names the bytes per
//                                    sector in its file (one sector size per file)
//   INDEX nn mm:ss:ff                a position within the current FILE; INDEX 00 starts a pregap
//                                    whose sectors are in the file, INDEX 01 starts the track. A
//                                    track's INDEX 00 may lie in one FILE and its INDEX 01 in the
//                                    next (pregaps appended to the previous track's file)
//   PREGAP / POSTGAP mm:ss:ff        silence not in the file (POSTGAP anywhere within its track)
//   FLAGS DCP|4CH|PRE|SCMS
//   TITLE, PERFORMER, SONGWRITER     CD-Text of the disc (before the first TRACK) or of the track
//   CDTEXTFILE name                  binary CD-Text packs, served as they are
//   REM SESSION nn                   (ascending) puts the tracks after it into session nn: the image
//                                    holds the tracks' sectors only, and the layout leaves the
//                                    unreadable gap of a real multi-session disc before each later
//                                    session's first track (11,400 sectors after the first session,
//                                    6,900 after a later one)
//   CATALOG, ISRC, other REM lines and the CD-Text keywords of some burners (ARRANGER, COMPOSER, MESSAGE,
//   GENRE, DISC_ID, UPC_EAN, TOC_INFO1/2, SIZE_INFO) are skipped.
//
// Addresses follow MMC: the first sector of the first file is LBA 0; a track starts at
//   (sectors of earlier files) + (its INDEX 01 position) + (all PREGAP/POSTGAP silence before it);
// the lead-out follows the last file's last sector and the last POSTGAP. A file that is not a whole
// number of sectors is padded with silence to the next one (a note says so). A file shorter than its
// last INDEX (a rip cut short) is played as far as it goes and silence after, its last track 4 seconds
// long (a note says where it ends).
//
// Text (TITLE, PERFORMER, SONGWRITER) is kept in ISO 8859-1, as CD-Text holds it: each character of
// the sheet converted on its own, '?' for one ISO 8859-1 does not have.
//
// Anything else is refused with the line and what was expected there. The parser takes any bytes
// (it never reads outside the buffer) and learns about files only through the lookup, so a fuzzer
// can drive it without files.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "passthru/image/disc.h"

namespace passthru::image {

enum class FileType : std::uint8_t { binary, motorola, audio, cdtext };

struct FileQuery {
    std::string_view name;         // as written in the sheet (in UTF-8 when the sheet was UTF-16)
    std::string_view alternative;  // the name read as Windows-1252 and written in UTF-8, when that
                                   // differs (an 8-bit sheet); else empty
    FileType type;
};

struct FileFound {
    std::string path;                       // where it was found
    std::uint64_t data_bytes = 0;           // bytes of sector data (an audio file: frames * 4)
    std::shared_ptr<ImageSource> source;    // the open file, if the lookup opened it
    std::vector<std::uint8_t> packs;        // FileType::cdtext: the packs
    std::string note;                       // said to the user when not empty (a name was adjusted)
    bool audio = false;                     // a BINARY/MOTOROLA file that is an audio file, opened as one
};

// Finds and checks a file the sheet names. False with the reason in `why` when it cannot be used.
using FileLookup = std::function<bool(const FileQuery &query, FileFound &found, std::string &why)>;

// On success fills `disc` and returns true, with notes for the user in `notes` ("line 3: ...");
// otherwise returns false with a one-line reason in `error` ("line 7: ...").
bool parse_cue(const std::uint8_t *bytes, std::size_t size, const FileLookup &lookup, Disc &disc, std::string &error,
               std::vector<std::string> *notes = nullptr);

// For callers that know only sizes (tests, fuzzers): every file the sheet names, whatever its type,
// holds `file_size(name)` bytes of sector data, or cannot be read (nullopt).
using FileSizeLookup = std::function<std::optional<std::uint64_t>(std::string_view name)>;
bool parse_cue(const std::uint8_t *bytes, std::size_t size, const FileSizeLookup &file_size, Disc &disc,
               std::string &error);

}  // namespace passthru::image
