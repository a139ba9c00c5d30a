#pragma once
// The status line: while the disc plays and standard error is a terminal, one line on it, redrawn
// in place at most four times a second, following what the wave device reports as heard:
//
//   Track 02/03  0:03 / 0:08  [-0:24]  Title - Performer
//
// the track playing and the track count, the time heard in the track and its length, the time left
// on the range, and the track's CD-Text title and performer when the disc has them. A track change
// leaves the finished track's line in the scrollback (a jump leaves the line as it was last drawn).
// While the sound is paused the line says so. When the range has played out, or main asks it to
// stop, the line is cleared and nothing more is written.
//
// The line fits the terminal's width, asked anew at every draw and every 50 ms between (a resize is
// followed within that), one column short of it so it never wraps; titles are shortened with
// "..." to fit. While the line is shown, standard error is captured (platform/status_terminal.h):
// any line another part of the process writes there — the pass-through library's "wnaspi32: cannot
// read ...", the sound back end's — is printed on a line of its own above the status line, which is
// drawn again below it. The status thread gives standard error back when the line ends.
//
// Threads: start_status_line starts one thread of its own, and is called before the threads that
// may print (the playback driver) are started. The thread first reads the disc's CD-Text (up to two
// commands of up to 10 s each: on this thread, so that main keeps reading keys) and then draws;
// main calls stop_status_line, which returns once the line is cleared and standard error is back
// (or after at most a second), or at once while the CD-Text is still being read (nothing is drawn
// then, and the thread draws nothing afterwards). The line reads the table of contents and the
// player, which outlive it; it writes nothing but standard error.

#include <atomic>
#include <cstdint>
#include <string>

#include "cdrom/cdrom_types.h"
#include "cdrom/cdtext.h"
#include "front/player.h"

struct StatusLine {
    const CdromToc *toc = nullptr;
    const Player *player = nullptr;  // the range, the position heard, the pause
    // The unit whose CD-Text the thread reads.
    std::int32_t ha_id = 0;
    std::int32_t target = 0;
    std::int32_t lun = 0;
    CdTextTable text;  // status thread only
    // status thread -> main: the thread is reading the CD-Text (release store, acquire load).
    std::atomic<bool> reading_text{false};
    // main -> status thread: clear the line and end (release store, acquire load).
    std::atomic<bool> quit{false};
    // status thread -> main: the line is cleared and the thread writes nothing more; its last
    // access to this record (release store, acquire load).
    std::atomic<bool> finished{false};
    // Standard error is captured for the line; set by start_status_line before the thread starts.
    bool capturing = false;
};

// False when no thread could be started (then nothing is shown and stop_status_line does nothing).
bool start_status_line(StatusLine *line);
void stop_status_line(StatusLine *line);
// Whether the thread has ended its work (the line is cleared). Any thread.
bool status_line_finished(const StatusLine *line);

// The text of the line for sector `heard` of the range (without the redraw around it), at most
// `columns` characters; the track index it shows goes to `track_index`.
std::string status_text(const CdromToc &toc, const CdTextTable &text, std::int32_t end_lba, std::int32_t heard,
                        std::size_t columns, int *track_index);

// "m:ss" for a number of sectors (75 per second), seconds truncated.
std::string minutes_seconds(std::int64_t sectors);
