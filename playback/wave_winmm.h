#pragma once
// Test seam of the waveOut back end (Windows builds only): the six wave functions it calls, which
// a test may replace with its own to see every call and argument, and to play the device's part.

#include <windows.h>
#include <mmsystem.h>

struct WaveOutApi {
    decltype(&waveOutOpen) open;
    decltype(&waveOutPrepareHeader) prepare;
    decltype(&waveOutWrite) write;
    decltype(&waveOutUnprepareHeader) unprepare;
    decltype(&waveOutReset) reset;
    decltype(&waveOutClose) close;
};

// Installs `api` for the devices opened from now on; nullptr installs winmm's own functions again.
// The table must outlive every device opened with it.
void install_wave_out_stand_in(const WaveOutApi *api);
