#include "playback/driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cdrom/cdrom_types.h"
#include "cdrom/reader.h"
#include "common/cd_speed.h"
#include "common/messages.h"
#include "platform/platform.h"
#include "playback/wave_out.h"

std::atomic<std::int32_t> play_running{0};
std::atomic<std::int32_t> fetch_running{0};

namespace {

constexpr std::chrono::milliseconds GUARD_WAIT{1};
constexpr std::chrono::milliseconds FETCH_FIRST_LOOK_MS{10};

// One buffer per wave slot; READ CD data lands in them where it is played.
struct Buffers {
    std::uint8_t *out[2];
};

// Zeroed, so nothing the drive did not deliver is ever played.
bool allocate(Buffers &b) {
    for (auto *&out : b.out) out = static_cast<std::uint8_t *>(std::calloc(1, CHUNK_BYTES));
    return b.out[0] && b.out[1];
}

// A buffer a device kept after it refused to close may be read by it at any time: it is left
// allocated for good.
void release(Buffers &b, const zrSound &wave) {
    for (auto *p : b.out)
        if (!wave.kept_by_device(p)) std::free(p);
}

bool stop_requested(const PlayRequest &request) { return request.stop.load(std::memory_order_relaxed) != 0; }

// What a worker needs for its commands: the unit, and the stop word it looks at between them.
struct ChunkRead {
    std::int32_t ha_id;
    std::int32_t target;
    std::int32_t lun;
    const std::atomic<std::int32_t> *stop;
    bool stopped() const { return stop && stop->load(std::memory_order_relaxed) != 0; }
};

// The time one chunk's re-reads may take, counted from the start of the chunk's reads: a READ CD
// that waited out its time-out has always spent it.
struct RereadBudget {
    std::chrono::steady_clock::time_point deadline;
    bool spent() const { return std::chrono::steady_clock::now() >= deadline; }
};

// A group the drive refused: its sectors are read one at a time, so only those the drive cannot
// deliver stay silent. Every sector starts zeroed; one that fails, and every one left when the
// budget is spent, a stop comes or a sector gets no answer, stays zero.
void reread_sector_by_sector(const ChunkRead &chunk, std::uint8_t *group_bytes, std::int32_t lba,
                             std::int32_t count, const RereadBudget &budget) {
    std::memset(group_bytes, 0, std::size_t(count) * SECTOR_BYTES);
    for (std::int32_t i = 0; i < count; ++i) {
        if (chunk.stopped() || budget.spent()) return;
        std::uint8_t *sector = group_bytes + std::size_t(i) * SECTOR_BYTES;
        const ReadResult result = read_cdrom_sectors_outcome(chunk.ha_id, chunk.target, chunk.lun, sector, lba + i, 1);
        if (result == ReadResult::delivered) continue;
        std::memset(sector, 0, SECTOR_BYTES);
        if (result == ReadResult::lost) return;
    }
}

// Output buffers left to the library for good: never freed, and remembered here (by the fetch
// workers, one at a time) so that they stay reachable rather than look like lost memory.
std::uint8_t *g_left_buffers[16];
std::size_t g_left_count = 0;

// A group's read was given up while the library may still write into its part of the output
// buffer: the buffer is left to the library, and the chunk continues in a new, zeroed one that
// gets the `read_bytes` already read, so no delivered sound is lost (the library writes only into
// the given-up group's part, never into what is copied). Null when none could be had.
std::uint8_t *leave_out_buffer(FetchJob &job, std::uint8_t *out, std::size_t read_bytes) {
    if (g_left_count < std::size(g_left_buffers)) g_left_buffers[g_left_count++] = out;
    job.out_buffer = static_cast<std::uint8_t *>(std::calloc(1, static_cast<std::size_t>(job.out_size)));
    if (job.out_buffer) std::memcpy(job.out_buffer, out, read_bytes);
    return job.out_buffer;
}

void take_fetch_guard() {
    std::int32_t free_guard = 0;
    while (!fetch_running.compare_exchange_weak(free_guard, 1, std::memory_order_acquire)) {
        free_guard = 0;
        platform::sleep_ms(GUARD_WAIT);
    }
}

// Runs the worker for the chunk described by `job` and waits, polling, until it is done. A worker
// thread that cannot be started is run here instead, so the chunk is never lost.
void fetch_chunk(FetchJob &job) {
    job.done.store(0, std::memory_order_relaxed);
    if (!platform::start_thread(&fetch_thread, &job)) fetch_thread(&job);
    // A chunk from a drive's cache or an image is often ready within milliseconds: one early look
    // gets the first sound out sooner; after that the driver looks every 100 ms.
    platform::sleep_ms(FETCH_FIRST_LOOK_MS);
    while (job.done.load(std::memory_order_acquire) == 0) platform::sleep_ms(FETCH_POLL_MS);
}

// A device that stopped working ends playback like a stop: the rest of the disc is not read.
bool should_stop(zrSound &wave, const PlayRequest &request) { return stop_requested(request) || wave.device_failed(); }

// The 200 ms back-off, with a look at `stop` every 50 ms: a key (a jump, q) is heard within
// 250 ms.
constexpr std::chrono::milliseconds STOP_LOOK_MS{50};
void back_off(const PlayRequest &request) {
    for (auto slept = std::chrono::milliseconds{0}; slept < SLOT_WAIT_MS && !stop_requested(request);
         slept += STOP_LOOK_MS)
        platform::sleep_ms(STOP_LOOK_MS);
}

// Waits for a free slot, 200 ms at a time. 0 when asked to stop or the device failed.
int wait_for_slot(zrSound &wave, const PlayRequest &request) {
    for (;;) {
        if (should_stop(wave, request)) return 0;
        if (int slot = wave.free_slot()) return slot;
        back_off(request);
    }
}

// After the last chunk: lets the device play out everything queued, still honouring `stop`.
void drain(zrSound &wave, const PlayRequest &request) {
    while (!should_stop(wave, request) && wave.audio_pending()) back_off(request);
}

// SET CD SPEED before the first read, when the request asks for a speed. True when the drive took
// it (and so must be set back to its maximum afterwards).
bool set_requested_speed(const PlayRequest &request) {
    if (request.read_speed == SPEED_UNCHANGED) return false;
    const auto kbs = static_cast<std::uint16_t>(request.read_speed);
    if (set_cdrom_speed(request.ha_id, request.target, request.lun, kbs)) return true;
    std::fprintf(stderr, "%s", msg::speed_refused);
    return false;
}

void play_range(PlayRequest &request, zrSound &wave, Buffers &buffers) {
    FetchJob job{};
    job.ha_id = request.ha_id;
    job.target = request.target;
    job.lun = request.lun;
    job.stop = &request.stop;
    std::int32_t next = request.start_lba;
    // An end before the start is an empty range; the difference of two foreign addresses is taken
    // in 64 bits, where it cannot overflow.
    const std::int64_t span = std::int64_t{request.end_lba} - request.start_lba;
    std::int64_t remaining = span > 0 ? span : 0;
    const bool speed_set = set_requested_speed(request);
    for (;;) {
        const int slot = wait_for_slot(wave, request);
        if (slot == 0) break;  // stopped by main: whatever is queued is cut off by close
        const auto chunk = static_cast<std::int32_t>(std::min<std::int64_t>(remaining, CHUNK_SECTORS));
        job.out_buffer = buffers.out[slot - 1];
        job.out_size = CHUNK_BYTES;
        job.lba = next;
        job.sectors = chunk;
        fetch_chunk(job);
        buffers.out[slot - 1] = job.out_buffer;  // the worker may have left the old one to the library
        if (!job.out_buffer) {
            std::fprintf(stderr, "%s", msg::out_of_memory_after_stuck_read);
            break;
        }
        if (stop_requested(request)) break;  // stopped during the fetch: the chunk is not queued
        // Only the chunk's own sectors are queued: a short last chunk plays no leftovers.
        if (chunk > 0) wave.write(slot, job.out_buffer, chunk * SECTOR_BYTES);
        next += chunk;
        remaining -= chunk;
        if (remaining <= 0 && request.repeat_from_lba != NO_REPEAT && request.repeat_from_lba < request.end_lba) {
            next = request.repeat_from_lba;
            remaining = std::int64_t{request.end_lba} - next;
        }
        if (remaining <= 0) break;
    }
    drain(wave, request);
    // After the last READ CD (the driver saw the last worker's `done`) and the last sound: the
    // drive is left as fast as it was before.
    if (speed_set) set_cdrom_speed(request.ha_id, request.target, request.lun, SPEED_MAXIMUM_KBS);
    std::int32_t playing = 0;
    request.stop.compare_exchange_strong(playing, STOP_END, std::memory_order_relaxed);
}

}  // namespace

std::uint32_t fetch_thread(void *arg) {
    auto *job = static_cast<FetchJob *>(arg);
    take_fetch_guard();
    const ChunkRead chunk{job->ha_id, job->target, job->lun, job->stop};
    std::uint8_t *out = job->out_buffer;
    const std::int32_t lba = job->lba;
    const std::int32_t sectors = job->sectors;

    // Groups of 10 from the chunk's start, then the rest (an empty group when nothing is left);
    // each group is read straight into its place in the output buffer.
    const RereadBudget budget{std::chrono::steady_clock::now() + REREAD_BUDGET_MS};
    for (std::int32_t first = 0;; first += MAX_READ_SECTORS) {
        if (chunk.stopped()) break;
        const std::int32_t group = std::min(sectors - first, MAX_READ_SECTORS);
        const std::size_t offset = std::size_t(first) * SECTOR_BYTES;
        bool buffer_kept = false;
        const ReadResult result = read_cdrom_sectors_direct(chunk.ha_id, chunk.target, chunk.lun, out + offset,
                                                            lba + first, group, buffer_kept);
        if (result != ReadResult::delivered && group > 0) {
            if (buffer_kept && !(out = leave_out_buffer(*job, out, offset))) break;
            std::uint8_t *const group_bytes = out + offset;
            // Only a refusal is worth asking again: after a time-out or an abort the drive would
            // most likely keep the worker waiting just as long for each sector.
            if (result == ReadResult::refused) reread_sector_by_sector(chunk, group_bytes, lba + first, group, budget);
            else std::memset(group_bytes, 0, std::size_t(group) * SECTOR_BYTES);
        }
        if (group < MAX_READ_SECTORS) break;
    }
    fetch_running.store(0, std::memory_order_release);
    job->done.store(1, std::memory_order_release);  // last access to the job
    return 0;
}

std::uint32_t play_thread(void *arg) {
    auto *request = static_cast<PlayRequest *>(arg);
    zrSound wave;
    // One test-and-set: of two drivers started together, exactly one goes on.
    std::int32_t idle = 0;
    if (!play_running.compare_exchange_strong(idle, 1, std::memory_order_acquire)) return 0;

    Buffers buffers{};
    const bool allocated = allocate(buffers);
    bool reader_open = false;
    bool jumped = false;
    if (!allocated) {
        std::printf("%s", msg::malloc_failed);
    } else if ((reader_open = open_cdrom_reader() != 0)) {
        if (wave.open()) {
            if (!request->continued) std::printf("%s", msg::now_playing);
            play_range(*request, wave, buffers);
            // Whatever main stores from now on, this run has ended for the reason it had.
            jumped = request->stop.exchange(STOP_END, std::memory_order_relaxed) == STOP_JUMP;
            if (!jumped) std::printf("%s", msg::finished);
            request->frames_heard = std::max<std::int64_t>(0, wave.close());
        } else {
            std::printf("%s", msg::no_wave_device);
            request->no_sound_device.store(1, std::memory_order_relaxed);
        }
    }
    if (reader_open) close_cdrom_reader();
    release(buffers, wave);
    play_running.store(0, std::memory_order_release);
    request->ended.store(jumped ? ENDED_FOR_JUMP : ENDED, std::memory_order_release);
    request->ended.notify_all();
    return 0;
}
