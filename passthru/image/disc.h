#pragma once
// A disc as a virtual drive serves it: its table of contents and where every sector's 2352 bytes
// come from (a range of an image file, generated silence, or the built-in disc's generator).
//
// A Disc is built once (CUE sheet or built-in) when the library loads and is read-only afterwards;
// read_sectors opens the image files per call, so concurrent reads are safe.

#include <cstdint>
#include <string>
#include <vector>

namespace passthru::image {

inline constexpr int kSectorBytes = 2352;
// The last LBA that READ TOC can still express in MSF form (99:59:74 minus the 150-frame lead-in).
inline constexpr std::int64_t kMaxLeadOut = 99 * 60 * 75 + 59 * 75 + 74 - 150;

inline constexpr std::uint8_t kControlData = 0x04;       // CONTROL bit: data track
inline constexpr std::uint8_t kControlCopy = 0x02;       // digital copy permitted (FLAGS DCP)
inline constexpr std::uint8_t kControlFourCh = 0x08;     // four-channel audio (FLAGS 4CH)
inline constexpr std::uint8_t kControlPreEmph = 0x01;    // pre-emphasis (FLAGS PRE)

// CD-Text of the disc or of one track: bytes as in the sheet, ISO 8859-1 (converted when the sheet
// was UTF-8 or UTF-16 and the text is representable).
struct CdText {
    std::string title, performer, songwriter;
};

struct Track {
    int number;           // 1..99, consecutive within a disc
    std::int32_t start;   // LBA of INDEX 01
    std::uint8_t control; // CONTROL nibble: 0x00 audio, kControlData for a data track, plus flags
    CdText text = {};
};

struct ImageFile {
    std::string path;       // as the sheet names it, until the back end resolves it
    bool big_endian;        // MOTOROLA: 16-bit samples stored most significant byte first
};

enum class SegmentKind : std::uint8_t { file, silence, builtin };

// A run of consecutive sectors from one source.
struct Segment {
    std::int32_t start;        // first LBA
    std::int32_t length;       // sectors, > 0
    SegmentKind kind;
    int file;                  // index into Disc::files (kind == file)
    std::int64_t file_sector;  // sector offset of `start` within that file (kind == file)
};

struct Disc {
    std::vector<Track> tracks;      // at least one, ascending
    std::int32_t lead_out = 0;      // first LBA after the last sector
    std::vector<ImageFile> files;
    std::vector<Segment> segments;  // cover [0, lead_out) in order, without holes
    CdText text;                    // the disc's own title, performer, songwriter
    // Raw 18-byte CD-Text packs (a sheet's CDTEXTFILE), served as they are when present; otherwise
    // the drive writes packs from the texts above.
    std::vector<std::uint8_t> cdtext_packs;
};

// Copies sectors [first, first + count) into `out` (count * kSectorBytes bytes). The range must lie
// within [0, lead_out). False when an image file cannot be read (gone, shorter than it was).
bool read_sectors(const Disc &disc, std::int32_t first, std::int32_t count, std::uint8_t *out);

// The built-in disc (see builtin_disc.h), generated on demand, nothing read from disk.
Disc builtin_disc();

}  // namespace passthru::image
