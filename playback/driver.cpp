#include "playback/driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdrom/cdrom_types.h"
#include "cdrom/reader.h"
#include "common/messages.h"
#include "platform/platform.h"
#include "playback/wave_out.h"

std::atomic<std::int32_t> play_running{0};
std::atomic<std::int32_t> fetch_running{0};

namespace {

constexpr std::int32_t GROUP_BYTES = MAX_READ_SECTORS * SECTOR_BYTES;  // 23520
constexpr std::chrono::milliseconds GUARD_WAIT{1};
constexpr std::chrono::milliseconds FETCH_FIRST_LOOK_MS{10};

struct Buffers {
    std::uint8_t *raw[2];
    std::uint8_t *out[2];
};

// Zeroed, so nothing the drive did not deliver is ever played.
bool allocate(Buffers &b) {
    for (auto **slot : {&b.raw[0], &b.raw[1], &b.out[0], &b.out[1]})
        *slot = static_cast<std::uint8_t *>(std::calloc(1, CHUNK_BYTES));
    return b.raw[0] && b.raw[1] && b.out[0] && b.out[1];
}

void release(Buffers &b) {
    for (auto *p : {b.raw[0], b.raw[1], b.out[0], b.out[1]}) std::free(p);
}

bool stop_requested(const PlayRequest &request) { return request.stop.load(std::memory_order_relaxed) != 0; }

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

// Waits for a free slot, 200 ms at a time, while nobody asks to stop. 0 when asked to stop.
int wait_for_slot(zrSound &wave, const PlayRequest &request) {
    for (;;) {
        if (stop_requested(request)) return 0;
        if (int slot = wave.free_slot()) return slot;
        platform::sleep_ms(SLOT_WAIT_MS);
    }
}

// After the last chunk: lets the device play out everything queued, still honouring `stop`.
void drain(zrSound &wave, const PlayRequest &request) {
    while (!stop_requested(request) && wave.audio_pending()) platform::sleep_ms(SLOT_WAIT_MS);
}

void play_range(PlayRequest &request, zrSound &wave, const Buffers &buffers) {
    FetchJob job{};
    job.ha_id = request.ha_id;
    job.target = request.target;
    job.lun = request.lun;
    std::int32_t next = request.start_lba;
    // An end before the start is an empty range.
    std::int32_t remaining = request.end_lba > request.start_lba ? request.end_lba - request.start_lba : 0;
    for (;;) {
        const int slot = wait_for_slot(wave, request);
        if (slot == 0) return;  // stopped by main: whatever is queued is cut off by close
        const std::int32_t chunk = remaining < CHUNK_SECTORS ? remaining : CHUNK_SECTORS;
        job.raw_buffer = buffers.raw[slot - 1];
        job.out_buffer = buffers.out[slot - 1];
        job.raw_size = CHUNK_BYTES;
        job.out_size = CHUNK_BYTES;
        job.lba = next;
        job.sectors = chunk;
        fetch_chunk(job);
        // Only the chunk's own sectors are queued: a short last chunk plays no leftovers.
        if (chunk > 0) wave.write(slot, job.out_buffer, chunk * SECTOR_BYTES);
        next += chunk;
        remaining -= chunk;
        if (remaining <= 0) break;
    }
    drain(wave, request);
    request.stop.store(1, std::memory_order_relaxed);
}

}  // namespace

std::int32_t copy_frames(const std::uint8_t *raw, std::int32_t raw_size, std::uint8_t *out, std::int32_t) {
    // A CD-DA frame (left, right, 16-bit little-endian) is already a wave frame: whole frames are
    // copied as they are, in one go.
    const std::int32_t frames = raw_size / 4;
    if (frames > 0) std::memcpy(out, raw, static_cast<std::size_t>(frames) * 4);
    return 1;
}

std::uint32_t fetch_thread(void *arg) {
    auto *job = static_cast<FetchJob *>(arg);
    take_fetch_guard();
    const FetchJob work{job->ha_id, job->target,  job->lun, job->raw_buffer, job->raw_size,
                        job->out_buffer, job->out_size, job->lba, job->sectors, {}};
    std::uint8_t *cursor = work.raw_buffer;
    std::int32_t sector = work.lba;
    for (std::int32_t left = work.sectors;; left -= MAX_READ_SECTORS) {
        const std::int32_t group = left >= MAX_READ_SECTORS ? MAX_READ_SECTORS : left;
        // A group the drive did not deliver (error, time-out) plays as silence, not stale audio.
        if (!read_cdrom_sectors(work.ha_id, work.target, work.lun, cursor, sector, group) && group > 0)
            std::memset(cursor, 0, static_cast<std::size_t>(group) * SECTOR_BYTES);
        if (group < MAX_READ_SECTORS) break;
        cursor += GROUP_BYTES;
        sector += MAX_READ_SECTORS;
    }
    copy_frames(work.raw_buffer, work.raw_size, work.out_buffer, work.out_size);
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
    if (!allocated) {
        std::printf("%s", msg::malloc_failed);
    } else if ((reader_open = open_cdrom_reader() != 0)) {
        if (wave.open()) {
            std::printf("%s", msg::now_playing);
            play_range(*request, wave, buffers);
            std::printf("%s", msg::finished);
            wave.close();
        } else {
            std::printf("%s", msg::no_wave_device);
        }
    }
    if (reader_open) close_cdrom_reader();
    release(buffers);
    play_running.store(0, std::memory_order_release);
    request->ended.store(1, std::memory_order_release);
    return 0;
}
