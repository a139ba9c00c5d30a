#include "tests/wave/fake_wave_device.h"

#include <thread>

#include "playback/wave_device.h"

FakeWave *g_fake = nullptr;

struct WaveDevice {
    zrSound *sound;
    bool queued[2];
};

std::uintptr_t fake_header(int slot) { return 0x1000u + static_cast<std::uintptr_t>(slot); }

void fake_complete(zrSound *sound, int slot) {
    zrSound::on_wave_done(nullptr, wave_message::done, reinterpret_cast<std::uintptr_t>(sound), fake_header(slot), 0);
}

WaveDevice *wave_device_open(zrSound *sound) {
    g_fake->calls.push_back("open");
    if (g_fake->fail_open) return nullptr;
    return new WaveDevice{sound, {false, false}};
}

bool wave_device_queue(WaveDevice *device, int slot, const std::uint8_t *data, std::int32_t length) {
    g_fake->calls.push_back("queue " + std::to_string(slot) + " " + std::to_string(length));
    if (g_fake->refuse_queue) return false;
    g_fake->queued_data.push_back(data);
    device->queued[slot - 1] = true;
    return true;
}

void wave_device_unprepare(WaveDevice *device, int slot) {
    g_fake->calls.push_back("unprepare " + std::to_string(slot));
    device->queued[slot - 1] = false;
}

void wave_device_pause(WaveDevice *, bool) {}

int wave_device_slot_of(const WaveDevice *, std::uintptr_t header) {
    if (header == fake_header(1)) return 1;
    if (header == fake_header(2)) return 2;
    return 0;
}

std::int64_t wave_device_stop(WaveDevice *device) {
    g_fake->calls.push_back("stop");
    // Taken now: once its last completion is reported, the device may be gone.
    zrSound *sound = device->sound;
    bool queued[2] = {device->queued[0], device->queued[1]};
    auto hand_back = [sound, queued] {
        for (int slot = 1; slot <= 2; ++slot) {
            if (!queued[slot - 1]) continue;
            ++g_fake->completions;
            fake_complete(sound, slot);
        }
    };
    if (!g_fake->hand_back_on_other_thread) {
        hand_back();
        return 0;
    }
    std::thread([hand_back] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        hand_back();
    }).detach();
    return 0;
}

bool wave_device_close(WaveDevice *device) {
    g_fake->calls.push_back("close");
    g_fake->completions_seen_at_close = g_fake->completions;
    delete device;
    return true;
}

bool wave_device_playing(WaveDevice *) { return g_fake->playing; }

std::int64_t wave_device_frames_heard(WaveDevice *) { return 0; }
bool wave_device_failed(WaveDevice *) { return false; }
