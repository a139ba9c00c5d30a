// waveOut back end of zrSound: the default device through the wave mapper, CD format, a
// callback function that only records completions (see zrSound::on_wave_done); unpreparing runs
// on the driver's thread, since a waveOut callback must not call wave functions.
#include "playback/wave_winmm.h"

#include <atomic>
#include <new>

#include "playback/wave_device.h"

static_assert(wave_message::open == WOM_OPEN && wave_message::close == WOM_CLOSE && wave_message::done == WOM_DONE);

// The callback's instance is this record, not the zrSound: a completion that comes after close
// (close gave up waiting for the device) finds `sound` cleared and the record still alive.
struct WaveDevice {
    HWAVEOUT handle;     // stored by waveOutOpen
    WAVEHDR headers[2];  // slot 1, slot 2
    WAVEFORMATEX format;
    const WaveOutApi *api;  // the functions this device was opened with
    // Where completions go; cleared by close before the zrSound may end. A completion counts
    // itself in `forwarding`, then loads `sound`; close clears `sound`, then waits for
    // `forwarding` to be 0 (all sequentially consistent), so no completion still uses the zrSound
    // once close has returned.
    std::atomic<zrSound *> sound;
    std::atomic<int> forwarding;
};

namespace {

const WaveOutApi winmm_api = {waveOutOpen,            waveOutPrepareHeader, waveOutWrite,
                              waveOutUnprepareHeader, waveOutReset,         waveOutClose};
std::atomic<const WaveOutApi *> g_api{&winmm_api};

void CALLBACK wave_out_proc(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2) {
    auto *record = reinterpret_cast<WaveDevice *>(instance);
    record->forwarding.fetch_add(1);
    if (zrSound *sound = record->sound.load())
        zrSound::on_wave_done(device, message, reinterpret_cast<std::uintptr_t>(sound), param1, param2);
    record->forwarding.fetch_sub(1);
}

// Every buffer is queued as a loop of one buffer played once; these stay as set, the device only
// adds and removes its status bits.
WAVEHDR empty_header() {
    WAVEHDR header = {};
    header.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    header.dwLoops = 1;
    return header;
}

WAVEFORMATEX cd_format() {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 44100;
    format.nAvgBytesPerSec = 44100 * 4;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    return format;
}

void clear_buffer(WAVEHDR &header) {
    header.lpData = nullptr;
    header.dwBufferLength = 0;
}

}  // namespace

void install_wave_out_stand_in(const WaveOutApi *api) { g_api.store(api ? api : &winmm_api); }

void wave_output_prepare() {}

WaveDevice *wave_device_open(zrSound *sound) {
    auto *device = new (std::nothrow) WaveDevice;
    if (!device) return nullptr;
    device->handle = nullptr;
    device->headers[0] = empty_header();
    device->headers[1] = empty_header();
    device->format = cd_format();
    device->api = g_api.load();
    device->sound.store(sound);
    device->forwarding.store(0);
    MMRESULT result = device->api->open(&device->handle, WAVE_MAPPER, &device->format,
                                        reinterpret_cast<DWORD_PTR>(&wave_out_proc),
                                        reinterpret_cast<DWORD_PTR>(device), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        delete device;
        return nullptr;
    }
    return device;
}

bool wave_device_queue(WaveDevice *device, int slot, const std::uint8_t *data, std::int32_t length) {
    WAVEHDR &header = device->headers[slot - 1];
    // The device only reads the buffer; WAVEHDR has no const pointer.
    header.lpData = reinterpret_cast<LPSTR>(const_cast<std::uint8_t *>(data));
    header.dwBufferLength = static_cast<DWORD>(length);
    if (device->api->prepare(device->handle, &header, sizeof header) != MMSYSERR_NOERROR) {
        clear_buffer(header);
        return false;
    }
    if (device->api->write(device->handle, &header, sizeof header) != MMSYSERR_NOERROR) {
        device->api->unprepare(device->handle, &header, sizeof header);
        clear_buffer(header);
        return false;
    }
    return true;
}

void wave_device_unprepare(WaveDevice *device, int slot) {
    WAVEHDR &header = device->headers[slot - 1];
    device->api->unprepare(device->handle, &header, sizeof header);
    clear_buffer(header);
}

int wave_device_slot_of(const WaveDevice *device, std::uintptr_t header) {
    if (header == reinterpret_cast<std::uintptr_t>(&device->headers[0])) return 1;
    if (header == reinterpret_cast<std::uintptr_t>(&device->headers[1])) return 2;
    return 0;
}

// Not in the stand-in table: the slot tests never pause.
void wave_device_pause(WaveDevice *device, bool paused) {
    if (paused) waveOutPause(device->handle);
    else waveOutRestart(device->handle);
}

std::int64_t wave_device_stop(WaveDevice *device) {
    const std::int64_t heard = wave_device_frames_heard(device);  // the reset sets the position to 0
    device->api->reset(device->handle);
    return heard;
}

bool wave_device_close(WaveDevice *device) {
    device->sound.store(nullptr);
    while (device->forwarding.load() != 0) Sleep(0);
    device->api->unprepare(device->handle, &device->headers[0], sizeof(WAVEHDR));
    device->api->unprepare(device->handle, &device->headers[1], sizeof(WAVEHDR));
    // A device that still holds a buffer refuses to close and may complete it at any time: its
    // record, which that completion names, is then deliberately never freed.
    if (device->api->close(device->handle) != MMSYSERR_NOERROR) return false;
    delete device;
    return true;
}

bool wave_device_playing(WaveDevice *) { return false; }

// waveOut's own position (bytes played since open; its 32-bit count wraps after 6.7 hours of sound,
// beyond any disc). Called straight, not through the test seam: a stand-in device has no position.
std::int64_t wave_device_frames_heard(WaveDevice *device) {
    MMTIME time = {};
    time.wType = TIME_BYTES;
    if (waveOutGetPosition(device->handle, &time, sizeof time) != MMSYSERR_NOERROR) return 0;
    if (time.wType == TIME_BYTES) return time.u.cb / 4;
    if (time.wType == TIME_SAMPLES) return time.u.sample;
    if (time.wType == TIME_MS) return std::int64_t{time.u.ms} * 44100 / 1000;
    return 0;
}

bool wave_device_failed(WaveDevice *) { return false; }
