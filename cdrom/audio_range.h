#pragma once
// Which sectors of a disc are played: only its audio, never a data track and never the
// unreadable gap before a later session.

#include <cstdint>
#include <optional>

#include "cdrom/cdrom_types.h"

// On a multi-session disc, from the start of one session's lead-out to the first track of the next
// session: 6,750 sectors of lead-out, 4,500 of lead-in and that track's 150-sector pregap.
inline constexpr std::int32_t SESSION_GAP_SECTORS = 6750 + 4500 + 150;

struct AudioRange {
    std::int32_t track_index;  // 0-based index of the track that plays first
    std::int32_t start_lba;    // first sector played
    std::int32_t end_lba;      // the sector at which playing stops; > start_lba
};

// The run of audio from the chosen track (0-based index into `toc`, within 0..track_count-1):
// - it starts at the chosen track if that is an audio track, otherwise at the next audio track
//   after it (a mixed-mode disc's data track 1 is passed over);
// - it ends at the start of the first data track after that, or at the lead-out;
// - when the last session starts after the first track played and begins with a data track (the
//   Enhanced CD layout), it ends SESSION_GAP_SECTORS before that track: the first session's
//   lead-out and the next one's lead-in and pregap are not audio, and no drive can read them.
// nullopt when nothing audible is left: no audio track at or after the chosen one, or a run that
// would be empty. Works on whatever the drive reported: no arithmetic can overflow.
std::optional<AudioRange> audio_range(const CdromToc &toc, std::int32_t chosen_index);

// The sector at which track `index` (0-based, within 0..track_count-1) stops: the next entry's
// start, except for the last track before the Enhanced CD gap that audio_range stops at, which
// ends where that gap begins (never before its own start). Every length shown (the listing, the
// status line) is measured to here, so the last track of an audio run ends where the run ends.
std::int32_t track_end_lba(const CdromToc &toc, std::int32_t index);
