#pragma once
// The records discovery and the table of contents reader hand to the front end, and the sizes
// every CD access shares. Plain structures of signed 32-bit integers, filled in static tables.

#include <cstdint>

// One CD-ROM unit as discovery met it.
struct CdromDevice {
    std::int32_t ha_id;                 // host adapter number
    std::int32_t target;                // SCSI target id, never the adapter's own
    std::int32_t lun;                   // logical unit number, 0-7
    std::int32_t ignore_target_status;  // 1: TEST UNIT READY is judged by its completion status alone
};

inline constexpr int CDROM_DEVICE_SLOTS = 8;

// Discovery's result: `count` units in slots[0..count), in discovery order. A successful discovery
// fills at most 7 slots; slots at or beyond `count` keep whatever an earlier call left there.
struct CdromDeviceList {
    std::int32_t count;
    CdromDevice slots[CDROM_DEVICE_SLOTS];
};

// One table of contents entry.
struct CdromTrack {
    std::int32_t is_audio;   // 1 audio, 0 data (CONTROL bit 0x04)
    std::int32_t start_lba;  // first sector, as a logical block address
};

inline constexpr int CDROM_TOC_ENTRIES = 101;
inline constexpr int CDROM_MAX_TRACKS = CDROM_TOC_ENTRIES - 1;

// The table of contents: entry i is track i+1, entry `track_count` the lead-out (the first sector
// after the last track). Entries after `track_count` keep what they held before.
struct CdromToc {
    std::int32_t track_count;
    CdromTrack entries[CDROM_TOC_ENTRIES];
    // From the session information (READ TOC format 1): the number of the last session and its
    // first track (is_audio, start). A unit that does not give it counts as single-session:
    // last_session 1 and last_session_first = entries[0].
    std::int32_t last_session;
    CdromTrack last_session_first;
};

// One CD-DA sector: 588 stereo frames of two 16-bit little-endian samples.
inline constexpr std::int32_t SECTOR_BYTES = 2352;
// The most sectors one READ CD request carries.
inline constexpr std::int32_t MAX_READ_SECTORS = 10;
