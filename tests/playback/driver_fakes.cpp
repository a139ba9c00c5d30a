#include "tests/playback/driver_fakes.h"

#include <cstring>
#include <thread>

#include "cdrom/cdrom_types.h"
#include "cdrom/reader.h"
#include "playback/wave_out.h"

FakeReader fake_reader;
FakeWave fake_wave;

std::uint8_t sector_byte(std::int32_t lba, std::int32_t offset) {
    return static_cast<std::uint8_t>(lba * 31 + offset * 7 + (offset >> 8) + 1);
}

std::vector<ReadCall> FakeReader::calls() const {
    std::lock_guard lock(const_cast<std::mutex &>(mutex));
    return calls_;
}

void FakeReader::open_gate() {
    std::lock_guard lock(mutex);
    gate_closed = false;
    gate.notify_all();
}

void FakeReader::reset() {
    std::lock_guard lock(mutex);
    open_result = true;
    opens = closes = 0;
    fail_from = 1;
    fail_to = 0;
    lost_from = 1;
    lost_to = 0;
    gate_closed = false;
    reads_waiting = 0;
    short_from = 1;
    short_to = 0;
    kept_from = 1;
    kept_to = 0;
    kept_groups.clear();
    read_delay = std::chrono::milliseconds{0};
    speed_result = true;
    speeds.clear();
    log.clear();
    calls_.clear();
}

int open_cdrom_reader() {
    ++fake_reader.opens;
    return fake_reader.open_result ? 1 : 0;
}

void close_cdrom_reader() { ++fake_reader.closes; }

int set_cdrom_speed(std::int32_t, std::int32_t, std::int32_t, std::uint16_t read_kbs) {
    std::lock_guard lock(fake_reader.mutex);
    fake_reader.speeds.push_back(read_kbs);
    fake_reader.log.push_back("speed " + std::to_string(read_kbs));
    return fake_reader.speed_result ? 1 : 0;
}

namespace {

// Under the reader's mutex: what a library that completes late writes into the buffers it kept.
void write_late_into_kept_groups() {
    for (std::uint8_t *group : fake_reader.kept_groups) std::memset(group, 0xDD, std::size_t(MAX_READ_SECTORS) * SECTOR_BYTES);
}

bool touches(std::int32_t lba, std::int32_t count, std::int32_t from, std::int32_t to) {
    return lba + count - 1 >= from && lba <= to;
}

// One read as the drive answers it; `delivered` gets the bytes written from the buffer's start.
ReadResult fake_read(std::uint8_t *buffer, std::int32_t lba, std::int32_t count, std::int32_t &delivered) {
    std::unique_lock lock(fake_reader.mutex);
    write_late_into_kept_groups();
    fake_reader.calls_.push_back({lba, count});
    fake_reader.log.push_back("read " + std::to_string(lba) + " " + std::to_string(count));
    ++fake_reader.reads_waiting;
    fake_reader.gate.wait(lock, [] { return !fake_reader.gate_closed; });
    delivered = 0;
    if (count <= 0 || count > MAX_READ_SECTORS) return ReadResult::lost;
    if (fake_reader.read_delay.count() > 0) {
        lock.unlock();
        std::this_thread::sleep_for(fake_reader.read_delay);
        lock.lock();
    }
    const bool refused = touches(lba, count, fake_reader.fail_from, fake_reader.fail_to);
    const bool lost = touches(lba, count, fake_reader.lost_from, fake_reader.lost_to);
    const bool fails = refused || lost;
    // A short transfer packs the delivered bytes one after the other from the buffer's start.
    std::int32_t at = 0;
    for (std::int32_t s = 0; s < count; ++s) {
        const bool data = lba + s >= fake_reader.short_from && lba + s <= fake_reader.short_to;
        const std::int32_t bytes = data ? 2048 : SECTOR_BYTES;
        for (std::int32_t i = 0; i < bytes; ++i) buffer[at++] = fails ? 0xEE : sector_byte(lba + s, i);
    }
    delivered = at;
    return lost ? ReadResult::lost : refused ? ReadResult::refused : ReadResult::delivered;
}

}  // namespace

ReadResult read_cdrom_sectors_outcome(std::int32_t, std::int32_t, std::int32_t, std::uint8_t *buffer, std::int32_t lba,
                                      std::int32_t count) {
    std::int32_t delivered = 0;
    return fake_read(buffer, lba, count, delivered);
}

// Like the reader on an adapter that reports residual counts: what was not delivered is zeroed.
// A read given up with its buffer kept is one that got no answer.
ReadResult read_cdrom_sectors_direct(std::int32_t, std::int32_t, std::int32_t, std::uint8_t *buffer, std::int32_t lba,
                                     std::int32_t count, bool &buffer_kept) {
    buffer_kept = false;
    {
        std::lock_guard lock(fake_reader.mutex);
        if (lba >= fake_reader.kept_from && lba <= fake_reader.kept_to) {
            fake_reader.calls_.push_back({lba, count});
            fake_reader.log.push_back("kept " + std::to_string(lba) + " " + std::to_string(count));
            fake_reader.kept_groups.push_back(buffer);
            buffer_kept = true;
            return ReadResult::lost;
        }
    }
    std::int32_t delivered = 0;
    const ReadResult result = fake_read(buffer, lba, count, delivered);
    if (count > 0 && count <= MAX_READ_SECTORS)
        std::memset(buffer + delivered, 0, std::size_t(count) * SECTOR_BYTES - std::size_t(delivered));
    return result;
}

void FakeWave::finish_oldest() {
    std::lock_guard lock(mutex);
    int oldest = 0;
    for (int s = 0; s < 2; ++s)
        if (queued[s] && (!oldest || queued[s] < queued[oldest - 1])) oldest = s + 1;
    if (oldest) queued[oldest - 1] = 0;
}

void FakeWave::reset() {
    std::lock_guard lock(mutex);
    open_result = auto_complete = true;
    tail_polls = 0;
    fail_after_writes = 0;
    opens = closes = pending_polls = 0;
    writes.clear();
    log.clear();
    queued[0] = queued[1] = 0;
    next_order = 1;
    is_open = false;
}

// ---- zrSound, as the driver sees it ----
std::int64_t wave_frames_heard() { return -1; }

int zrSound::open() {
    std::lock_guard lock(fake_wave.mutex);
    ++fake_wave.opens;
    fake_wave.is_open = fake_wave.open_result;
    return fake_wave.open_result ? 1 : 0;
}

std::int64_t zrSound::close() {
    std::lock_guard lock(fake_wave.mutex);
    if (!fake_wave.is_open) return -1;
    ++fake_wave.closes;
    fake_wave.log.push_back("close");
    fake_wave.queued[0] = fake_wave.queued[1] = 0;
    fake_wave.is_open = false;
    return -1;  // a stand-in hears nothing
}

int zrSound::free_slot() {
    if (fake_wave.auto_complete && fake_wave.queued[0] && fake_wave.queued[1]) fake_wave.finish_oldest();
    std::lock_guard lock(fake_wave.mutex);
    return !fake_wave.queued[0] ? 1 : !fake_wave.queued[1] ? 2 : 0;
}

int zrSound::write(int slot, const std::uint8_t *data, int length) {
    std::lock_guard lock(fake_wave.mutex);
    fake_wave.writes.push_back({slot, std::vector<std::uint8_t>(data, data + length)});
    fake_wave.log.push_back("write");
    fake_wave.queued[slot - 1] = fake_wave.next_order++;
    return 1;
}

bool zrSound::kept_by_device(const std::uint8_t *) const { return false; }  // the fake always closes

bool zrSound::device_failed() {
    std::lock_guard lock(fake_wave.mutex);
    return fake_wave.fail_after_writes > 0 && static_cast<int>(fake_wave.writes.size()) >= fake_wave.fail_after_writes;
}

bool zrSound::audio_pending() {
    if (fake_wave.auto_complete) fake_wave.finish_oldest();
    std::lock_guard lock(fake_wave.mutex);
    ++fake_wave.pending_polls;
    if (fake_wave.queued[0] || fake_wave.queued[1]) {
        fake_wave.log.push_back("pending");
        return true;
    }
    if (fake_wave.tail_polls > 0) {
        --fake_wave.tail_polls;
        fake_wave.log.push_back("pending");
        return true;
    }
    fake_wave.log.push_back("idle");
    return false;
}
