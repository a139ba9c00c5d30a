#pragma once
// The benchmark's real-time wave device (paced_wave.cpp) and what it measured.

struct PacedWaveStats {
    int buffers = 0;
    int underruns = 0;          // buffers written after the device had run dry
    double min_ahead_ms = 0;    // least audio queued ahead of a buffer when it was written
    double sum_ahead_ms = 0;    // over all buffers but the first
};

PacedWaveStats paced_wave_stats();
