#pragma once
// A wave back end played by the test: records every call, refuses when told, and reports
// completions when the test says (fake_complete) or, like waveOut's reset, for every queued
// buffer when stopped.

#include <cstdint>
#include <string>
#include <vector>

#include "playback/wave_out.h"

struct FakeWave {
    bool fail_open = false;
    bool refuse_queue = false;
    bool playing = false;                // what wave_device_playing answers
    bool hand_back_on_other_thread = false;  // stop returns first, a thread reports the completions
    std::vector<std::string> calls;      // "open", "queue 1 <length>", "unprepare 2", "stop", "close"
    std::vector<const std::uint8_t *> queued_data;
    int completions_seen_at_close = -1;  // completions reported before wave_device_close ran
    int completions = 0;
};

// The fake every back-end call of this test program goes to; the fixture installs a fresh one.
extern FakeWave *g_fake;

// Reports the completion of `slot`'s buffer as the device would.
void fake_complete(zrSound *sound, int slot);
// The header value the fake's completions carry for `slot`.
std::uintptr_t fake_header(int slot);
