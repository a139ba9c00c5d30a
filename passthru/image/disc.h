#pragma once
// A disc as a virtual drive serves it: its table of contents and where every sector's 2352 bytes
// come from (a range of an image file, generated silence, or the built-in disc's generator).
//
// A Disc is built once (CUE sheet or built-in) when the library loads and is read-only afterwards.
// Its image files are opened and checked then and stay open until the library unloads; reading
// them is safe from several threads (raw files are read at an offset, audio decoders lock).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace passthru::image {

inline constexpr int kSectorBytes = 2352;
inline constexpr int kFramesPerSector = 588;  // stereo 16-bit frames in one audio sector
// The last LBA that READ TOC can still express in MSF form (99:59:74 minus the 150-frame lead-in).
inline constexpr std::int64_t kMaxLeadOut = 99 * 60 * 75 + 59 * 75 + 74 - 150;

inline constexpr std::uint8_t kControlData = 0x04;       // CONTROL bit: data track
inline constexpr std::uint8_t kControlCopy = 0x02;       // digital copy permitted (FLAGS DCP)
inline constexpr std::uint8_t kControlFourCh = 0x08;     // four-channel audio (FLAGS 4CH)
inline constexpr std::uint8_t kControlPreEmph = 0x01;    // pre-emphasis (FLAGS PRE)

// Between the last track of one session and the first track of the next, a multi-session disc
// holds the earlier session's lead-out, the later session's lead-in and the first track's 2-second
// pregap, none of it readable: 6,750 + 4,500 + 150 sectors after the first session, and
// 2,250 + 4,500 + 150 after each later one (whose lead-outs are shorter).
inline constexpr std::int32_t kFirstSessionGap = 6750 + 4500 + 150;
inline constexpr std::int32_t kLaterSessionGap = 2250 + 4500 + 150;

// How a track's sectors are recorded; the data modes name the bytes per sector in the image file.
enum class TrackMode : std::uint8_t { audio, mode1_2352, mode1_2048, mode2_2352, mode2_2336 };

// CD-Text of the disc or of one track, in ISO 8859-1 ('?' for a character it does not have).
struct CdText {
    std::string title, performer, songwriter;
};

struct Track {
    int number;           // 1..99, consecutive within a disc
    std::int32_t start;   // LBA of INDEX 01
    std::uint8_t control; // CONTROL nibble: 0x00 audio, kControlData for a data track, plus flags
    TrackMode mode = TrackMode::audio;
    std::uint8_t session = 1;  // 1-based; ascending over the tracks
    CdText text{};
};

// An open image file: raw sectors read at an offset, or an audio file decoded on demand
// (image_source.h). Shared by the Disc and nobody else.
class ImageSource;

struct ImageFile {
    std::string path;       // as the sheet names it, until the back end resolves it
    bool big_endian;        // MOTOROLA: 16-bit samples stored most significant byte first
    bool audio = false;     // WAVE-typed: an audio file (WAV, FLAC, ...) decoded to CD frames
    std::uint64_t data_bytes = 0;  // bytes of sector data it holds (an audio file: frames * 4)
    std::shared_ptr<ImageSource> source{};  // opened by the back end; null in a parsed-only Disc
};

// `unreadable`: the gap between two sessions, which no drive can read.
enum class SegmentKind : std::uint8_t { file, silence, builtin, unreadable };

// A run of consecutive sectors from one source.
struct Segment {
    std::int32_t start;        // first LBA
    std::int32_t length;       // sectors, > 0
    SegmentKind kind;
    int file;                  // index into Disc::files (kind == file)
    std::int64_t file_sector;  // sector offset of `start` within that file (kind == file)
    std::int32_t file_sector_bytes = 2352;  // bytes per sector in the file: 2048, 2336 or 2352
};

struct Disc {
    std::vector<Track> tracks;      // at least one, ascending
    std::int32_t lead_out = 0;      // first LBA after the last sector
    std::vector<ImageFile> files;
    std::vector<Segment> segments;  // cover [0, lead_out) in order, without holes
    CdText text{};                  // the disc's own title, performer, songwriter
    // Raw 18-byte CD-Text packs (a sheet's CDTEXTFILE), served as they are when present; otherwise
    // the drive writes packs from the texts above.
    std::vector<std::uint8_t> cdtext_packs{};
};

// Why a read failed: the file and the system's or decoder's words.
struct ReadFailure {
    int file = -1;
    std::string reason;
};

// The first track of the disc's last session (its first track on a single-session disc).
const Track &last_session_first_track(const Disc &disc);
// The track holding `lba` (sectors before the first track belong to it).
const Track &track_at(const Disc &disc, std::int32_t lba);

// Copies sectors [first, first + count) into `out` (count * kSectorBytes bytes). The range must lie
// within [0, lead_out). Sectors stored with fewer than 2352 bytes in their file (MODE1/2048,
// MODE2/2336) come out as a raw sector would: sync, header (MSF address, mode), the file's bytes
// from offset 16, zeros after them. A file's last, incomplete sector ends in zeros. False when an
// image file cannot be read (gone, shorter than it was; `failure` then names it) or the range
// touches the gap between sessions.
bool read_sectors(const Disc &disc, std::int32_t first, std::int32_t count, std::uint8_t *out,
                  ReadFailure *failure = nullptr);

// The built-in disc (see builtin_disc.h), generated on demand, nothing read from disk.
Disc builtin_disc();

}  // namespace passthru::image
