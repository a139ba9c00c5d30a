#pragma once
// The status line: while the disc plays and standard error is a terminal, one line on it, redrawn
// in place at most four times a second, following what the wave device reports as heard:
//
//   Track 02/03  0:03 / 0:08  [-0:24]  Title - Performer
//
// the track playing and the track count, the time heard in the track and its length, the time left
// on the range, and the track's CD-Text title and performer when the disc has them. A track change
// leaves the finished track's line in the scrollback. When playing ends (the range played out, the
// device closed, or the run asks it to stop) the line is cleared and nothing more is written.
//
// The line fits the terminal's width, asked anew at every draw and every 50 ms between (a resize is
// followed within that), one column short of it so it never wraps; titles are shortened with
// "..." to fit. While the line is shown, standard error is captured (platform/status_terminal.h):
// any line another part of the process writes there — the pass-through library's "wnaspi32: cannot
// read ...", the sound back end's — is printed on a line of its own above the status line, which is
// drawn again below it. The status thread gives standard error back when the line ends.
//
// Threads: start_status_line starts one thread of its own, and is called before the threads that
// may print (the playback driver) are started; main calls stop_status_line, which returns once the
// line is cleared and standard error is back (or after at most a second). The line reads the table of
// contents, the text and the request, which outlive it; it writes nothing but standard error.

#include <atomic>
#include <cstdint>
#include <string>

#include "cdrom/cdrom_types.h"
#include "cdrom/cdtext.h"
#include "playback/driver.h"

struct StatusLine {
    const CdromToc *toc = nullptr;
    CdTextTable text;
    const PlayRequest *request = nullptr;
    std::int32_t start_lba = 0;  // the range as the driver plays it
    std::int32_t end_lba = 0;
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

// The text of the line for sector `heard` of the range (without the redraw around it), at most
// `columns` characters; the track index it shows goes to `track_index`.
std::string status_text(const CdromToc &toc, const CdTextTable &text, std::int32_t end_lba, std::int32_t heard,
                        std::size_t columns, int *track_index);

// "m:ss" for a number of sectors (75 per second), seconds truncated.
std::string minutes_seconds(std::int64_t sectors);
