#pragma once
// Reading raw CD-DA sectors for the playback with READ CD, at most 10 sectors per request.
//
// Threads and hand-over: open_cdrom_reader and close_cdrom_reader run on the playback driver's
// thread; the reads run on fetch worker threads, one at a time. The reader's binding is
// written only by open and close and is read-only while bound. open publishes it with a release
// store of the reader's bound flag; every read begins with an acquire load of that flag, so a
// worker either sees the whole binding or sends nothing. close clears the flag before it unloads
// the library, and must be called only once the last read has returned (the driver closes after
// it has seen the last worker's `done`).

#include <cstdint>

// Binds the reader's own AspiBinding for the playback. 1 when bound; 0 after printing the
// bind_aspi message, with nothing left loaded. Called once per playback, before the first read.
int open_cdrom_reader();

// Releases the reader's binding (if bound); the reader is unbound afterwards.
void close_cdrom_reader();

// How a READ CD ended, for a caller that decides whether asking again is worth it: the
// exchange's one judgement (AspiEnd) in the reader's terms.
enum class ReadResult {
    delivered,  // AspiEnd::done: completed SS_COMP
    refused,    // AspiEnd::refused: completed within the time-out with CHECK CONDITION (the
                // transport fine): the drive could not read something in the range, so fewer
                // sectors may still read
    lost,       // anything else: no completion in time (given up, after the abort), aborted,
                // another failure, or nothing sent; asking again would only wait again
};

// Reads `count` sectors of 2352 bytes from `lba` into `buffer`, blocking the calling thread until
// the request completes or for at most 10 s. `buffer` holds at least count * 2352 bytes and
// belongs to the caller; only the low 8 bits of ha_id, target and lun reach the request.
// Returns 1 when the drive completed the READ CD (SS_COMP), otherwise 0:
// - count > 10: prints "get cdrom data over 10 sectors\n", sends nothing;
// - count <= 0, or the reader is not bound: prints nothing, sends nothing;
// - no completion event could be made (the reader's binding makes one with its first request,
//   and again after a request the library kept): prints "fail to create event\n", sends nothing;
// - no completion in time: "wait time out\n" and one abort (by the exchange); the reader stays bound;
// - completed with another status: prints nothing.
// After a 0 from a request that was sent, the buffer holds whatever the library left there.
int read_cdrom_sectors(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint8_t *buffer,
                       std::int32_t lba, std::int32_t count);

// The same read, telling how it ended.
ReadResult read_cdrom_sectors_outcome(std::int32_t ha_id, std::int32_t target, std::int32_t lun,
                                      std::uint8_t *buffer, std::int32_t lba, std::int32_t count);

// As read_cdrom_sectors_outcome, for the playback's chunk buffers: the drive's data lands in
// `buffer` with no copy in between, and bytes the drive did not deliver are zeros. Prints nothing
// when no completion event could be made (the read is lost). `buffer_kept` is set when the request was given up
// while the library may still write into `buffer`: from then on the caller must neither reuse nor
// free it.
ReadResult read_cdrom_sectors_direct(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint8_t *buffer,
                                     std::int32_t lba, std::int32_t count, bool &buffer_kept);

// SET CD SPEED through the reader's binding, on the driver's thread while no read is outstanding:
// read speed `read_kbs` kB/s (176 per 1x; 0xFFFF: the drive's maximum). 1 when the drive accepted
// it; 0 when it refused it, never completed (after "wait time out\n"), could not be sent for want
// of an event (after "fail to create event\n"), or the reader is not bound.
int set_cdrom_speed(std::int32_t ha_id, std::int32_t target, std::int32_t lun, std::uint16_t read_kbs);
