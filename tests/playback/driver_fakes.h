#pragma once
// Fakes the playback driver's tests link instead of the sector reader and the wave back end.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// ---- The sector reader ----
struct ReadCall {
    std::int32_t lba;
    std::int32_t count;
};

struct FakeReader {
    bool open_result = true;
    int opens = 0;
    int closes = 0;
    // Reads of sectors in [fail_from, fail_to] are refused (CHECK CONDITION) after scribbling over
    // the buffer; reads of sectors in [lost_from, lost_to] get no answer (timed out, aborted), also
    // after scribbling.
    std::int32_t fail_from = 1, fail_to = 0;
    std::int32_t lost_from = 1, lost_to = 0;
    // While `gate_closed`, a read waits; `reads_waiting` counts reads that arrived at the gate.
    bool gate_closed = false;
    int reads_waiting = 0;
    // How long every read takes.
    std::chrono::milliseconds read_delay{0};
    // Reads of sectors in [short_from, short_to] deliver only 2048 bytes of each such sector, as
    // a drive does for a data sector, and still succeed.
    std::int32_t short_from = 1, short_to = 0;
    // Direct reads starting in [kept_from, kept_to] are given up with the library keeping the
    // buffer; every later read then writes 0xDD over each kept group, as a late completion would.
    std::int32_t kept_from = 1, kept_to = 0;
    std::vector<std::uint8_t *> kept_groups;
    // SET CD SPEED: the speeds asked for, in order, and whether the drive takes them.
    bool speed_result = true;
    std::vector<int> speeds;
    // Every command in order: "read LBA COUNT" or "speed KBS".
    std::vector<std::string> log;

    std::vector<ReadCall> calls() const;
    void open_gate();
    void reset();

    std::mutex mutex;  // reads come from worker threads
    std::condition_variable gate;
    std::vector<ReadCall> calls_;
};
extern FakeReader fake_reader;

// The bytes the fake drive delivers for one sector: distinct for every sector and offset.
std::uint8_t sector_byte(std::int32_t lba, std::int32_t offset);

// ---- The wave device ----
struct WriteCall {
    int slot;
    std::vector<std::uint8_t> bytes;
};

// A device that plays buffers in order. In `auto_complete` mode the oldest buffer finishes whenever
// the driver finds both slots taken (so slots go 1, 2, 1, 2, ...); otherwise nothing finishes until
// the test calls finish_oldest(). After the last buffer is done, audio_pending() still answers true
// `tail_polls` more times (audio left in the device).
struct FakeWave {
    bool open_result = true;
    bool auto_complete = true;
    int tail_polls = 0;
    int fail_after_writes = 0;  // > 0: device_failed() answers true once this many were written

    int opens = 0;
    int closes = 0;
    int pending_polls = 0;
    std::vector<WriteCall> writes;
    std::vector<std::string> log;  // "write", "pending", "idle", "close" in order
    int queued[2] = {0, 0};        // order number of the buffer in each slot, 0 = free
    int next_order = 1;
    bool is_open = false;

    void finish_oldest();
    void reset();
    std::mutex mutex;  // the test thread may finish buffers while the driver polls
};
extern FakeWave fake_wave;
