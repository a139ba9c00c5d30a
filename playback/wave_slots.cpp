// zrSound's slot logic, shared by every wave back end.
#include <chrono>
#include <mutex>

#include "platform/platform.h"
#include "playback/wave_device.h"
#include "playback/wave_out.h"

namespace {

// waveOut may deliver the completions of the buffers its reset hands back on its own thread, after
// the reset has returned; close waits for them (1 ms steps, bounded) so that none can reach the
// object once close has returned.
constexpr int HAND_BACK_WAIT_STEPS = 2000;

bool taken(const WaveSlot &slot) { return slot.data.load(std::memory_order_acquire) != nullptr; }

// The open device whose position wave_frames_heard reports. Guarded by g_heard_lock, which
// also keeps the device open during a query.
std::mutex g_heard_lock;
WaveDevice *g_heard_device = nullptr;
bool g_paused = false;  // guarded by g_heard_lock

// Before the first write: a device opened while paused plays nothing until resumed.
void publish_heard_device(WaveDevice *device) {
    std::lock_guard<std::mutex> guard(g_heard_lock);
    g_heard_device = device;
    if (g_paused) wave_device_pause(device, true);
}

void withdraw_heard_device(WaveDevice *device) {
    std::lock_guard<std::mutex> guard(g_heard_lock);
    if (g_heard_device == device) g_heard_device = nullptr;
}

}  // namespace

std::int64_t wave_frames_heard() {
    std::lock_guard<std::mutex> guard(g_heard_lock);
    return g_heard_device ? wave_device_frames_heard(g_heard_device) : -1;
}

void wave_pause(bool paused) {
    std::lock_guard<std::mutex> guard(g_heard_lock);
    g_paused = paused;
    if (g_heard_device) wave_device_pause(g_heard_device, paused);
}

int zrSound::open() {
    device_ = wave_device_open(this);
    if (device_) publish_heard_device(device_);
    return device_ ? 1 : 0;
}

std::int64_t zrSound::close() {
    if (!device_) return -1;
    withdraw_heard_device(device_);
    const std::int64_t heard = wave_device_stop(device_);
    wait_for_handed_back_buffers();
    const bool closed = wave_device_close(device_);
    device_ = nullptr;
    // The device is gone, so whatever it held is the caller's again; one that refused to close
    // keeps for good what it has not finished with, and that slot stays taken.
    for (WaveSlot &slot : slots_) {
        if (!closed && taken(slot) && !slot.finished.load(std::memory_order_acquire)) continue;
        slot.length = 0;
        slot.finished.store(false, std::memory_order_relaxed);
        slot.data.store(nullptr, std::memory_order_release);
    }
    return heard;
}

int zrSound::free_slot() {
    release_finished_slots();
    if (!taken(slots_[0])) return 1;
    if (!taken(slots_[1])) return 2;
    return 0;
}

int zrSound::write(int slot, const std::uint8_t *data, int length) {
    if (!device_) return 1;
    if (slot != 1 && slot != 2) return 0;
    if (length <= 0 || data == nullptr) return 0;
    release_finished_slots();
    WaveSlot &target = slots_[slot - 1];
    // Re-queuing a header the device still owns would corrupt what it is playing.
    if (taken(target)) return 0;
    target.length = length;
    target.finished.store(false, std::memory_order_relaxed);
    target.data.store(data, std::memory_order_release);
    if (wave_device_queue(device_, slot, data, length)) return 1;
    // A refused buffer never completes; leaving the slot taken would stall the driver for good.
    target.length = 0;
    target.data.store(nullptr, std::memory_order_release);
    return 0;
}

bool zrSound::audio_pending() {
    if (!device_) return false;
    release_finished_slots();
    if (taken(slots_[0]) || taken(slots_[1])) return true;
    return wave_device_playing(device_);
}

bool zrSound::kept_by_device(const std::uint8_t *data) const {
    if (device_ || !data) return false;
    for (const WaveSlot &slot : slots_)
        if (slot.data.load(std::memory_order_acquire) == data) return true;
    return false;
}

bool zrSound::device_failed() { return device_ && wave_device_failed(device_); }

void zrSound::on_wave_done(void *, std::uint32_t message, std::uintptr_t instance, std::uintptr_t header,
                           std::uintptr_t) {
    if (message != wave_message::done) return;
    auto *sound = reinterpret_cast<zrSound *>(instance);
    if (!sound || !sound->device_) return;
    int slot = wave_device_slot_of(sound->device_, header);
    if (slot == 0) return;
    // The last access to the object from the completion thread.
    sound->slots_[slot - 1].finished.store(true, std::memory_order_release);
}

void zrSound::release_header(WaveSlot *slot) {
    int index = slot == &slots_[0] ? 1 : slot == &slots_[1] ? 2 : 0;
    if (index == 0) return;
    if (device_) wave_device_unprepare(device_, index);
    slot->length = 0;
    slot->data.store(nullptr, std::memory_order_release);
}

void zrSound::release_finished_slots() {
    for (WaveSlot &slot : slots_) {
        if (taken(slot) && slot.finished.load(std::memory_order_acquire)) release_header(&slot);
    }
}

void zrSound::wait_for_handed_back_buffers() {
    for (int step = 0; step < HAND_BACK_WAIT_STEPS; ++step) {
        bool outstanding = false;
        for (const WaveSlot &slot : slots_) {
            if (taken(slot) && !slot.finished.load(std::memory_order_acquire)) outstanding = true;
        }
        if (!outstanding) return;
        platform::sleep_ms(std::chrono::milliseconds(1));
    }
}
