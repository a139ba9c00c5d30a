// The waveOut back end: every call and argument against stand-in wave functions that play the
// device's part (completions on the callback, as winmm does), then the system's own device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <new>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "playback/wave_out.h"
#include "playback/wave_winmm.h"
#include "tests/support/eventually.h"

namespace {

using Calls = std::vector<std::string>;
using WaveProc = void(CALLBACK *)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct StandInDevice {
    HWAVEOUT handle = reinterpret_cast<HWAVEOUT>(0x5150);
    MMRESULT open_result = MMSYSERR_NOERROR;
    MMRESULT write_result = MMSYSERR_NOERROR;
    UINT device_id = 0;
    WAVEFORMATEX format = {};
    DWORD_PTR callback = 0, instance = 0;
    DWORD flags = 0;
    Calls calls;                       // "prepare h1", "write h2", "unprepare h1 -> 0", "reset", ...
    std::vector<WAVEHDR *> headers;    // h1, h2, ... in order of first appearance
    std::vector<WAVEHDR> at_prepare;   // each header as it was handed to prepare
    std::vector<WAVEHDR *> queue;      // written, not yet done
    bool reset_hands_back = true;      // false: a device that keeps its buffers past reset
    bool in_callback = false;
    int wave_calls_in_callback = 0;
    int bad_handles = 0;
};
StandInDevice *dev = nullptr;

std::string name_of(WAVEHDR *header) {
    for (std::size_t i = 0; i < dev->headers.size(); ++i)
        if (dev->headers[i] == header) return "h" + std::to_string(i + 1);
    dev->headers.push_back(header);
    return "h" + std::to_string(dev->headers.size());
}

void enter(HWAVEOUT handle, UINT size = sizeof(WAVEHDR)) {
    if (dev->in_callback) ++dev->wave_calls_in_callback;
    if (handle != dev->handle || size != sizeof(WAVEHDR)) ++dev->bad_handles;
}

void deliver(UINT message, WAVEHDR *header) {
    dev->in_callback = true;
    reinterpret_cast<WaveProc>(dev->callback)(dev->handle, message, dev->instance,
                                              reinterpret_cast<DWORD_PTR>(header), 0);
    dev->in_callback = false;
}

// The device finishes the oldest queued buffer.
void finish_next() {
    WAVEHDR *header = dev->queue.front();
    dev->queue.erase(dev->queue.begin());
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    deliver(WOM_DONE, header);
}

MMRESULT WINAPI stand_in_open(LPHWAVEOUT out, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                              DWORD_PTR instance, DWORD flags) {
    dev->calls.push_back("open");
    dev->device_id = id;
    dev->format = *format;
    dev->callback = callback;
    dev->instance = instance;
    dev->flags = flags;
    if (dev->open_result != MMSYSERR_NOERROR) return dev->open_result;
    deliver(WOM_OPEN, nullptr);  // winmm sends it before the handle is stored
    *out = dev->handle;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI stand_in_prepare(HWAVEOUT handle, LPWAVEHDR header, UINT size) {
    enter(handle, size);
    dev->calls.push_back("prepare " + name_of(header));
    dev->at_prepare.push_back(*header);
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI stand_in_write(HWAVEOUT handle, LPWAVEHDR header, UINT size) {
    enter(handle, size);
    dev->calls.push_back("write " + name_of(header));
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (dev->write_result != MMSYSERR_NOERROR) return dev->write_result;
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    dev->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI stand_in_unprepare(HWAVEOUT handle, LPWAVEHDR header, UINT size) {
    enter(handle, size);
    MMRESULT result = (header->dwFlags & WHDR_INQUEUE) ? WAVERR_STILLPLAYING : MMSYSERR_NOERROR;
    if (result == MMSYSERR_NOERROR) header->dwFlags &= ~WHDR_PREPARED;
    dev->calls.push_back("unprepare " + name_of(header) + " -> " + std::to_string(result));
    return result;
}

MMRESULT WINAPI stand_in_reset(HWAVEOUT handle) {
    enter(handle);
    dev->calls.push_back("reset");
    while (dev->reset_hands_back && !dev->queue.empty()) finish_next();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI stand_in_close(HWAVEOUT handle) {
    enter(handle);
    dev->calls.push_back("close");
    if (!dev->queue.empty()) return WAVERR_STILLPLAYING;
    deliver(WOM_CLOSE, nullptr);
    return MMSYSERR_NOERROR;
}

const WaveOutApi stand_in_api = {stand_in_open,      stand_in_prepare, stand_in_write,
                                 stand_in_unprepare, stand_in_reset,   stand_in_close};

class WaveOut : public ::testing::Test {
protected:
    void SetUp() override {
        dev = &device;
        install_wave_out_stand_in(&stand_in_api);
    }
    void TearDown() override {
        sound.close();
        EXPECT_EQ(device.wave_calls_in_callback, 0);
        EXPECT_EQ(device.bad_handles, 0);
        install_wave_out_stand_in(nullptr);
        dev = nullptr;
    }

    StandInDevice device;
    std::uint8_t buffer1[1000] = {};
    std::uint8_t buffer2[2000] = {};
    zrSound sound;
};

TEST_F(WaveOut, OpensTheMapperForCdAudioWithTheCallbackAndCloses) {
    ASSERT_EQ(sound.open(), 1);
    EXPECT_EQ(device.device_id, WAVE_MAPPER);
    EXPECT_EQ(device.format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(device.format.nChannels, 2);
    EXPECT_EQ(device.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(device.format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(device.format.nBlockAlign, 4);
    EXPECT_EQ(device.format.wBitsPerSample, 16);
    EXPECT_EQ(device.format.cbSize, 0);
    EXPECT_EQ(device.flags, static_cast<DWORD>(CALLBACK_FUNCTION));
    EXPECT_NE(device.instance, 0u);
    EXPECT_NE(device.callback, 0u);

    // Never written: both headers are still unprepared, harmlessly.
    sound.close();
    EXPECT_EQ(device.calls, (Calls{"open", "reset", "unprepare h1 -> 0", "unprepare h2 -> 0", "close"}));
    sound.close();
    EXPECT_EQ(device.calls.size(), 5u);
}

// A device that still holds a buffer when close gives up waiting for it completes it later, after
// the zrSound has ended (and its memory been reused): that completion must not reach it. Until
// then it may read the buffer, which is therefore not handed back.
TEST_F(WaveOut, CompletionAfterAClosedObjectEndedNeverReachesIt) {
    device.reset_hands_back = false;
    alignas(zrSound) unsigned char storage[sizeof(zrSound)];
    auto *ended = new (storage) zrSound;
    ASSERT_EQ(ended->open(), 1);
    ASSERT_EQ(ended->write(1, buffer1, sizeof buffer1), 1);
    ended->close();  // waits for the buffer, in vain, then closes what it can
    EXPECT_EQ(device.calls.back(), "close");
    EXPECT_EQ(ended->free_slot(), 2) << "a buffer the device still holds is not handed back";
    EXPECT_TRUE(ended->kept_by_device(buffer1));
    EXPECT_FALSE(ended->kept_by_device(buffer2));
    ended->~zrSound();
    std::memset(storage, 0xEE, sizeof storage);
    finish_next();  // the late completion
    EXPECT_TRUE(std::all_of(std::begin(storage), std::end(storage), [](unsigned char b) { return b == 0xEE; }));
}

// What a closed object does with writes is the slot logic's (slot_logic_test.cpp); here only that
// waveOut's refusal is a failed open after which nothing else reaches the device.
TEST_F(WaveOut, FailedOpenLeavesNothingOpen) {
    device.open_result = MMSYSERR_BADDEVICEID;
    EXPECT_EQ(sound.open(), 0);
    sound.close();
    EXPECT_EQ(device.calls, Calls{"open"});
}

TEST_F(WaveOut, WritesPrepareAndQueueTheSlotHeaderAndReleaseItAfterItsCompletion) {
    ASSERT_EQ(sound.open(), 1);
    ASSERT_EQ(sound.write(1, buffer1, 1000), 1);
    ASSERT_EQ(sound.write(2, buffer2, 2000), 1);
    EXPECT_EQ(device.calls, (Calls{"open", "prepare h1", "write h1", "prepare h2", "write h2"}));
    ASSERT_EQ(device.at_prepare.size(), 2u);
    const WAVEHDR &first = device.at_prepare[0];
    EXPECT_EQ(first.lpData, reinterpret_cast<LPSTR>(buffer1));
    EXPECT_EQ(first.dwBufferLength, 1000u);
    EXPECT_EQ(first.dwBytesRecorded, 0u);
    EXPECT_EQ(first.dwUser, 0u);
    EXPECT_EQ(first.dwFlags, static_cast<DWORD>(WHDR_BEGINLOOP | WHDR_ENDLOOP));
    EXPECT_EQ(first.dwLoops, 1u);
    EXPECT_EQ(first.lpNext, nullptr);
    EXPECT_EQ(first.reserved, 0u);
    EXPECT_EQ(device.at_prepare[1].lpData, reinterpret_cast<LPSTR>(buffer2));
    EXPECT_EQ(device.at_prepare[1].dwBufferLength, 2000u);

    finish_next();  // the callback itself calls no wave function (checked in TearDown)
    EXPECT_EQ(device.calls.size(), 5u);
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_EQ(device.calls.back(), "unprepare h1 -> 0");
    ASSERT_EQ(sound.write(1, buffer2, 2000), 1);
    EXPECT_EQ(device.calls.back(), "write h1");
    EXPECT_EQ(device.at_prepare.back().lpData, reinterpret_cast<LPSTR>(buffer2));
    EXPECT_EQ(device.at_prepare.back().dwLoops, 1u);
}

TEST_F(WaveOut, CloseResetsThenUnpreparesBothAndHandsBothSlotsBack) {
    ASSERT_EQ(sound.open(), 1);
    ASSERT_EQ(sound.write(1, buffer1, 1000), 1);
    ASSERT_EQ(sound.write(2, buffer2, 2000), 1);
    device.calls.clear();
    sound.close();
    EXPECT_EQ(device.calls, (Calls{"reset", "unprepare h1 -> 0", "unprepare h2 -> 0", "close"}));
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_FALSE(sound.audio_pending());
}

TEST_F(WaveOut, BufferTheDeviceRefusesIsUnpreparedAndItsSlotStaysFree) {
    ASSERT_EQ(sound.open(), 1);
    device.write_result = MMSYSERR_NOMEM;
    EXPECT_EQ(sound.write(1, buffer1, 1000), 0);
    EXPECT_EQ(device.calls, (Calls{"open", "prepare h1", "write h1", "unprepare h1 -> 0"}));
    EXPECT_EQ(sound.free_slot(), 1);
}

TEST(WaveOutDevice, PlaysBothSlotsAndClosesWithBothQueued) {
    install_wave_out_stand_in(nullptr);
    // 0.1 s each, on the heap: a device that refuses to close may read them until the process ends.
    auto *silence1 = new std::uint8_t[17640](), *silence2 = new std::uint8_t[17640]();
    zrSound sound;
    if (sound.open() == 0) GTEST_SKIP() << "no wave output device";
    ASSERT_EQ(sound.write(1, silence1, 17640), 1);
    ASSERT_EQ(sound.write(2, silence2, 17640), 1);
    EXPECT_TRUE(eventually([&] { return !sound.audio_pending(); }));
    EXPECT_EQ(sound.free_slot(), 1);

    ASSERT_EQ(sound.write(1, silence1, 17640), 1);
    ASSERT_EQ(sound.write(2, silence2, 17640), 1);
    sound.close();
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_FALSE(sound.audio_pending());
    for (std::uint8_t *silence : {silence1, silence2})
        if (!sound.kept_by_device(silence)) delete[] silence;
}

}  // namespace
