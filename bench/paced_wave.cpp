// A wave device for the benchmark that plays in real time without sound: a buffer takes as long
// as its audio lasts, and buffers play in the order written. It records, for every buffer, how
// much audio was still queued ahead of it when it was written: how far ahead of the device the
// fetching stayed.
#include "bench/paced_wave.h"

#include <mutex>
#include <thread>

#include "playback/wave_out.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_mutex;
Clock::time_point g_device_free_at;    // when the device has played everything queued
Clock::time_point g_slot_free_at[2];   // when each slot's buffer has played
bool g_slot_taken[2];
PacedWaveStats g_stats;

Clock::duration audio_length(int bytes) { return std::chrono::microseconds(bytes * 1000000LL / 176400); }

void release_played(Clock::time_point now) {
    for (int s = 0; s < 2; ++s)
        if (g_slot_taken[s] && now >= g_slot_free_at[s]) g_slot_taken[s] = false;
}

}  // namespace

PacedWaveStats paced_wave_stats() {
    std::lock_guard lock(g_mutex);
    return g_stats;
}

int zrSound::open() {
    std::lock_guard lock(g_mutex);
    g_device_free_at = Clock::now();
    g_slot_taken[0] = g_slot_taken[1] = false;
    g_stats = {};
    return 1;
}

// The bench makes no jumps, so where a run was cut never matters.
std::int64_t zrSound::close() {
    std::lock_guard lock(g_mutex);
    g_slot_taken[0] = g_slot_taken[1] = false;
    return -1;
}

int zrSound::free_slot() {
    std::lock_guard lock(g_mutex);
    release_played(Clock::now());
    return !g_slot_taken[0] ? 1 : !g_slot_taken[1] ? 2 : 0;
}

int zrSound::write(int slot, const std::uint8_t *, int length) {
    std::lock_guard lock(g_mutex);
    const auto now = Clock::now();
    const auto ahead = g_device_free_at - now;  // audio still queued ahead of this buffer
    if (g_stats.buffers > 0) {                  // the first buffer starts the device
        const double ms = std::chrono::duration<double, std::milli>(ahead).count();
        if (ms <= 0) ++g_stats.underruns;
        g_stats.min_ahead_ms = g_stats.buffers == 1 ? ms : std::min(g_stats.min_ahead_ms, ms);
        g_stats.sum_ahead_ms += ms;
    }
    ++g_stats.buffers;
    const auto start = g_device_free_at > now ? g_device_free_at : now;
    g_device_free_at = start + audio_length(length);
    g_slot_free_at[slot - 1] = g_device_free_at;
    g_slot_taken[slot - 1] = true;
    return 1;
}

bool zrSound::device_failed() { return false; }
std::int64_t wave_frames_heard() { return -1; }
bool zrSound::kept_by_device(const std::uint8_t *) const { return false; }

bool zrSound::audio_pending() {
    std::lock_guard lock(g_mutex);
    return Clock::now() < g_device_free_at;
}
