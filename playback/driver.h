#pragma once
// The playback driver and its fetch worker: the thread that turns a range of disc sectors into
// continuous sound, double-buffered through the wave device's two slots.
//
// Threads: `main` starts play_thread for each run of a playback (the next only once the previous
// one has ended) and otherwise only stores `stop`; the driver starts one
// fetch worker per chunk (never more than one at a time) and never joins it; the wave device's own
// thread frees slots inside the zrSound. Nothing is locked: the hand-overs are the atomics below.

#include <atomic>
#include <chrono>
#include <cstdint>

inline constexpr std::int32_t CHUNK_SECTORS = 80;
inline constexpr std::int32_t CHUNK_BYTES = 188160;  // 80 x 2352: each buffer, about 1.07 s of sound
inline constexpr std::chrono::milliseconds SLOT_WAIT_MS{200};   // driver's sleep when no slot is free
inline constexpr std::chrono::milliseconds FETCH_POLL_MS{100};  // driver's look at the job's `done`
// Until when, counted from the start of a chunk's first READ CD, the sector-by-sector re-reads of
// its refused groups may go on: beyond it the chunk would reach the device late (a chunk is about
// 1.07 s of sound, the one before it is already queued), so what is still unread stays silent.
inline constexpr std::chrono::milliseconds REREAD_BUDGET_MS{300};
// PlayRequest::read_speed when no speed is to be set.
inline constexpr std::int32_t SPEED_UNCHANGED = -1;
// PlayRequest::repeat_from_lba when the range plays once.
inline constexpr std::int32_t NO_REPEAT = -1;
// Values of PlayRequest::ended once the run is over.
inline constexpr std::int32_t ENDED = 1;
inline constexpr std::int32_t ENDED_FOR_JUMP = 2;
// Values of PlayRequest::stop.
inline constexpr std::int32_t STOP_END = 1;   // the playback ends (ENTER, q, Ctrl+C, the range played)
inline constexpr std::int32_t STOP_JUMP = 2;  // this run ends; another one continues the playback

// What the front end hands to the driver. The front end keeps it in static storage: the driver may
// still read it after the run has returned (see `ended`).
struct PlayRequest {
    std::int32_t ha_id;
    std::int32_t target;
    std::int32_t lun;
    std::int32_t start_lba;  // first sector to play
    std::int32_t end_lba;    // the sector at which playing stops (the lead-out)
    // 0 while playing; only ever 0 -> STOP_END or STOP_JUMP, once. Stored by main (a key) and by
    // the driver (range played: a compare-and-swap from 0, so main's reason stands); read by the
    // driver every pass and every 200 ms while it waits. It publishes nothing else, so relaxed
    // loads and stores suffice. A run ended by STOP_JUMP prints no "Finished.\n".
    std::atomic<std::int32_t> stop;
    // Set by the driver as its very last access to the request (release store, then a notify_all
    // for a main that waits on it), so main can return as soon as playback has ended (acquire
    // load): ENDED, or ENDED_FOR_JUMP when the run ended for a jump and so printed no
    // "Finished.\n". Stays 0 for a refused second driver. The request must outlive the notify:
    // main's lives in static storage.
    std::atomic<std::int32_t> ended;
    // Set to 1 by the driver, before `ended`, when the sound device could not be opened and nothing
    // was played (relaxed: the release store of `ended` publishes it).
    std::atomic<std::int32_t> no_sound_device{0};
    // Read speed in kB/s set with SET CD SPEED before the first read (0xFFFF: the drive's
    // maximum), and the maximum set again after the last; SPEED_UNCHANGED: nothing is sent.
    std::int32_t read_speed = SPEED_UNCHANGED;
    // Where the range starts again once end_lba is reached, gaplessly, until stopped; NO_REPEAT:
    // the run ends there.
    std::int32_t repeat_from_lba = NO_REPEAT;
    // A run that continues a playback after a jump: it prints no "now playing...\n".
    bool continued = false;
    // Written by the driver before its `ended` store (which publishes it): the frames the listener
    // had heard of this run when its device was closed.
    std::int64_t frames_heard = 0;
};

// One chunk's work for a fetch worker. One job lives in the driver's frame, refilled per chunk.
struct FetchJob {
    std::int32_t ha_id;
    std::int32_t target;
    std::int32_t lun;
    // What the device will play: READ CD data lands here, straight from the library, each group at
    // its place. When a read given up after its time-out may still be written by the library, the
    // worker leaves this buffer to the library for good and continues the chunk in a new, zeroed
    // one, into which it first copies the sectors already read; it stores the new one here (null
    // when none could be had: the chunk is lost and the playback ends). The driver adopts it for
    // the slot and never frees, reuses or plays the old one. Written by the worker before its
    // release store of `done`, read by the driver after its acquire load.
    std::uint8_t *out_buffer;
    std::int32_t out_size;     // CHUNK_BYTES
    std::int32_t lba;          // first sector of the chunk
    std::int32_t sectors;      // 0 to 80
    // The request's stop word: once it is set the worker sends no further command and leaves the
    // rest of the chunk unread (relaxed loads, as everywhere `stop` is read); the driver then does
    // not queue the chunk.
    const std::atomic<std::int32_t> *stop;
    // 0 while the worker runs. The worker's release store of 1 publishes the complete output
    // buffer and is its last access to the job; the driver's acquire load sees it before it hands
    // the buffer to the device or refills the job.
    std::atomic<std::int32_t> done;
};

// Thread entry points: one pointer argument, result always 0.
// play_thread: the whole playback of one request; prints "now playing...\n" once the device is
// open and "Finished.\n" at the end; start-up failures print "fail to malloc\n" or
// "fail to get the wave device\n" (or the reader's binding message) and end it at once.
// A second driver while one runs returns 0 at once without touching its request.
std::uint32_t play_thread(void *request);
// fetch_thread: reads the job's chunk in READ CD groups of at most 10 sectors, each straight into
// its place in the output buffer; whatever the drive does not deliver (a failed group, a short
// transfer from a data sector) is silence, never the previous chunk (the reader zeroes what a
// group's read did not deliver). A group the drive refuses (CHECK CONDITION) is read again sector
// by sector, so only the sectors it cannot read stay silent; those re-reads stop REREAD_BUDGET_MS
// after the chunk's first read, and at the first sector that gets no answer. A group that timed
// out or was aborted is not read again: it stays silent. Between any two commands the worker looks
// at `stop` and, once it is set, reads nothing more. Then it sets `done`.
std::uint32_t fetch_thread(void *job);

// One-instance guards, process-wide, 0 at start. play_running: 1 while a driver runs (tested and
// set on entry by one compare-and-swap, cleared at its end). fetch_running: 1 while a fetch worker reads; a worker that
// finds it set waits for it to clear (it never gives up its chunk), and a worker clears it before
// it publishes `done`, so the driver's next worker never finds it set.
extern std::atomic<std::int32_t> play_running;
extern std::atomic<std::int32_t> fetch_running;
