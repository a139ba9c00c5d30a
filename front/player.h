#pragma once
// The playback as the listener steers it: one range of the disc, played by one run of the
// playback driver after another. A jump (next or previous track, a seek) ends the current run as
// ENTER does, without the grace, and starts the next one at the target's first sector; a pause
// holds the sound device where it stands. On a terminal the keys are:
//   space pause/resume, n or > next track, p or < start of the track (the previous track within its
//   first 3 s), left/right arrows 10 s back/forward, q or ENTER stop; every other key is ignored.
// Without a terminal, one character stops and the end of the input lets the range play out.
// Ctrl+C stops as q does; the run then ends with exit status 130.
//
// Threads: main runs steer_playback; the status line's thread reads the position heard and the
// pause through the atomics below. The driver's runs share one PlayRequest, reused only after the
// previous run has ended (its `ended` store is its last access).

#include <atomic>
#include <cstdint>

#include "cdrom/audio_range.h"
#include "cdrom/cdrom_types.h"
#include "playback/driver.h"

struct StatusLine;

struct Player {
    const CdromToc *toc = nullptr;
    std::int32_t first_lba = 0;  // the range: what the keys can reach, and what -r plays again
    std::int32_t end_lba = 0;
    bool repeat = false;
    PlayRequest *request = nullptr;  // filled by the caller for the first run (unit, speed)
    // main -> status thread: the sector at which the current run started, and how many runs have
    // started (a new run's device counts its frames from 0). Stored before the run's thread starts;
    // seq_cst, read around the device's position (see frame_heard).
    std::atomic<std::int32_t> run_start_lba{0};
    std::atomic<std::int32_t> runs{0};
    // main -> status thread: the sound is paused (relaxed: it only changes what the line says).
    std::atomic<bool> paused{false};
};

// With -n<K> (`limit` K, 0 without): the range ends where the K-th track from its first one ends,
// or where it ended if that comes first.
std::int32_t end_of_tracks(const CdromToc &toc, const AudioRange &range, std::int32_t limit);

// The disc position heard now, in frames from LBA 0 (sector x 588 + frame), folded into the range
// when it repeats; -1 while no run has sound out (between runs, before the first frame). Any thread.
std::int64_t frame_heard(const Player &player);

// Starts the first run at player.first_lba. False when no thread could be started.
bool start_playback(Player &player);

// Main's part from the first run's start to the end: reads keys (`keys`: single keys on a
// terminal; otherwise one character stops) until the playback is stopped, or has played out and
// standard input has ended. Stops the status line (when `status` is not null) before anything the
// driver prints on its way out. Returns the exit status: 0, 1 when the sound device could not be
// opened, or 130 after Ctrl+C. When the driver (or the status line) has not ended within
// EXIT_GRACE_MS of a stop, the process ends there with that status.
int steer_playback(Player &player, bool keys, StatusLine *status);
