// ALSA back end of zrSound: PCM "default", S16_LE, 2 channels, 44100 Hz.
//
// One device thread owns the PCM from open to close. It writes the queued buffers in the order
// written, straight from the caller's memory, with non-blocking I/O, and waits in poll() on the
// PCM's descriptors plus an eventfd through which the driver's thread wakes it (a new buffer, or
// stop), so a stop never waits for the device. A buffer is complete when ALSA has taken all of
// its frames; the audio then still in ALSA's ring buffer is what wave_device_playing reports.
// The ring holds a second in four periods, and the thread asks to be woken when half of it is free:
// while playing it wakes twice a second, and a wake-up that comes late by up to half a second is
// not heard. (A ring of two periods woken at each left one period of slack: on a busy machine that
// was heard as gaps.)
//
// alsa-lib reports its problems through one process-wide handler; ours keeps the first message of
// a failure and the back end prints it, with what failed, as one line on standard error: when the
// device cannot be opened, and when it stops working during playback (unplugged: -ENODEV, or
// errors that recovery does not cure). A device that stopped refuses further buffers and hands
// back what it held, and wave_device_failed tells the driver.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "common/messages.h"
#include "playback/wave_device.h"

namespace {

constexpr unsigned CD_RATE = 44100;
constexpr unsigned CD_CHANNELS = 2;
constexpr std::int32_t FRAME_BYTES = 4;
constexpr unsigned BUFFER_US = 1000000;  // ALSA's ring buffer: a second...
constexpr unsigned PERIOD_US = 250000;   // ...in four periods
constexpr int MAX_RECOVERIES = 8;        // failed writes in a row before a buffer is given up
constexpr int MAX_PCM_FDS = 8;
constexpr int RECHECK_MAX_MS = 50;       // longest sleep before the PCM is looked at again

struct QueuedBuffer {
    int slot;
    const std::uint8_t *data;
    snd_pcm_uframes_t frames;
};

// The first message alsa-lib reported since the back end last asked (its most specific reason:
// later ones describe the same failure from further out). Written and read only by the thread
// that plays through the PCM (the driver's while opening, then the device thread, which it
// starts), so no lock.
char g_alsa_reason[200];

// True on the thread that plays through the PCM. alsa-lib's handler is process-wide: other threads
// reach it too (the position query of wave_device_frames_heard, on the status line's thread) while
// the device thread plays, and what they report is no reason for playback to fail, so it is dropped.
thread_local bool t_keeps_alsa_reasons = false;

void keep_alsa_reason(const char *, int, const char *, int error, const char *format, ...) {
    if (!t_keeps_alsa_reasons || g_alsa_reason[0] != '\0') return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(g_alsa_reason, sizeof g_alsa_reason, format, args);
    va_end(args);
    // alsa-lib's own printer adds the system error's text the same way.
    if (error != 0 && n >= 0 && static_cast<std::size_t>(n) < sizeof g_alsa_reason)
        std::snprintf(g_alsa_reason + n, sizeof g_alsa_reason - n, ": %s", snd_strerror(-std::abs(error)));
}

// One line on standard error: what failed, and alsa-lib's reason (or the error's text).
void report_alsa_failure(const char *what, int error) {
    std::fprintf(stderr, msg::sound_failed, what, g_alsa_reason[0] ? g_alsa_reason : snd_strerror(error));
    g_alsa_reason[0] = '\0';
}

}  // namespace

struct WaveDevice {
    zrSound *sound = nullptr;
    snd_pcm_t *pcm = nullptr;  // used by the device thread only while it runs
    int wake_fd = -1;          // eventfd: the driver's thread adds, the device thread drains it
    std::thread thread;
    // Driver's thread -> device thread: stop now. Release store, acquire load.
    std::atomic<bool> stopping{false};
    // Device thread -> driver's thread: ALSA holds frames not yet heard. Set before the buffer
    // they came from is reported complete; release store, acquire load.
    std::atomic<bool> holding{false};
    // Device thread -> any thread: frames ALSA has taken since open (release store, acquire load).
    std::atomic<std::int64_t> frames_taken{0};
    // The most wave_device_frames_heard has answered (any thread raises it; relaxed: it publishes
    // nothing else).
    std::atomic<std::int64_t> heard_floor{0};
    // Device thread -> driver's thread: the frames heard when the stream was dropped. Release store
    // before the thread ends, acquire load after the join.
    std::atomic<std::int64_t> heard_at_stop{0};
    // Device thread -> driver's thread: the device stopped working; nothing more is played.
    // Release store (after the failure is reported), acquire load.
    std::atomic<bool> failed{false};
    // Any thread (under zrSound's lock) -> device thread: hold the sound where it stands. Release
    // store followed by a wake, acquire load.
    std::atomic<bool> pause_wanted{false};
    // Protects queue and queued. Held only to add or take an entry, never across an ALSA call.
    std::mutex lock;
    QueuedBuffer queue[2];  // in the order written
    int queued = 0;
};

namespace {

void wake(WaveDevice *device) {
    std::uint64_t one = 1;
    ssize_t ignored = ::write(device->wake_fd, &one, sizeof one);
    (void)ignored;  // the counter only saturates; the device thread is awake then anyway
}

bool front(WaveDevice *device, QueuedBuffer *buffer) {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->queued == 0) return false;
    *buffer = device->queue[0];
    return true;
}

bool pop_front(WaveDevice *device, QueuedBuffer *buffer) {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->queued == 0) return false;
    *buffer = device->queue[0];
    device->queue[0] = device->queue[1];
    --device->queued;
    return true;
}

void report_done(WaveDevice *device, int slot) {
    zrSound::on_wave_done(device, wave_message::done, reinterpret_cast<std::uintptr_t>(device->sound),
                          static_cast<std::uintptr_t>(slot), 0);
}

// Sleeps until the driver's thread wakes us, the PCM can take at least its avail_min frames (when
// asked) or the time runs out (-1: no limit).
void wait_for_event(WaveDevice *device, bool pcm_too, int timeout_ms) {
    pollfd fds[1 + MAX_PCM_FDS] = {};
    fds[0].fd = device->wake_fd;
    fds[0].events = POLLIN;
    int pcm_fds = pcm_too ? snd_pcm_poll_descriptors(device->pcm, fds + 1, MAX_PCM_FDS) : 0;
    if (pcm_fds < 0) pcm_fds = 0;
    // A PCM that offers nothing to wait on is simply tried again soon.
    if (pcm_too && pcm_fds == 0 && (timeout_ms < 0 || timeout_ms > RECHECK_MAX_MS)) {
        timeout_ms = RECHECK_MAX_MS;
    }
    for (;;) {
        if (poll(fds, 1 + pcm_fds, timeout_ms) <= 0) return;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            ssize_t ignored = ::read(device->wake_fd, &count, sizeof count);
            (void)ignored;
            return;
        }
        if (pcm_fds == 0) return;
        // Events are consumed through ALSA (some plugins, dmix's timer, need it); a plugin that
        // wakes every period while less than avail_min is free is slept through, as a card is.
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(device->pcm, fds + 1, pcm_fds, &revents) < 0 || revents != 0 ||
            timeout_ms >= 0)
            return;
    }
}

// While a pause is asked for, the stream is paused where it stands (a device that cannot pause is
// simply not fed: it plays what its ring holds, then waits) and the thread sleeps until the resume
// or the stop. True when it held.
bool hold_while_paused(WaveDevice *device) {
    if (!device->pause_wanted.load(std::memory_order_acquire)) return false;
    snd_pcm_t *pcm = device->pcm;
    const bool paused = snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING && snd_pcm_pause(pcm, 1) == 0;
    while (device->pause_wanted.load(std::memory_order_acquire) && !device->stopping.load(std::memory_order_acquire))
        wait_for_event(device, false, -1);
    if (paused) snd_pcm_pause(pcm, 0);
    return true;
}

// Writes one buffer until ALSA has taken all of it or the stop comes. False when the device is gone
// or keeps failing.
bool play_buffer(WaveDevice *device, const QueuedBuffer &buffer) {
    snd_pcm_uframes_t taken = 0;
    int failures = 0;
    while (taken < buffer.frames && !device->stopping.load(std::memory_order_acquire)) {
        if (hold_while_paused(device)) continue;
        snd_pcm_sframes_t n =
            snd_pcm_writei(device->pcm, buffer.data + taken * FRAME_BYTES, buffer.frames - taken);
        if (n > 0) {
            taken += static_cast<snd_pcm_uframes_t>(n);
            device->frames_taken.fetch_add(n, std::memory_order_release);
            failures = 0;
            device->holding.store(true, std::memory_order_release);
        } else if (n == 0 || n == -EAGAIN) {
            // A full ring that never reached its start threshold would wait for ever.
            if (snd_pcm_state(device->pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(device->pcm);
            wait_for_event(device, true, -1);
        } else if (n == -ENODEV || ++failures > MAX_RECOVERIES ||
                   snd_pcm_recover(device->pcm, static_cast<int>(n), 1) < 0) {
            report_alsa_failure(msg::sound_stopped, static_cast<int>(n));
            return false;  // gone or stuck: playing on would only race through the disc
        }
        // After an underrun the stream is prepared again and the same frames are written again.
    }
    return true;
}

// Nothing queued: make sure what ALSA holds gets played (a short last buffer may never reach the
// start threshold by itself), and say when all of it has been.
void play_out(WaveDevice *device) {
    if (!device->holding.load(std::memory_order_relaxed)) {
        wait_for_event(device, false, -1);
        return;
    }
    snd_pcm_t *pcm = device->pcm;
    if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm);
    snd_pcm_state_t state = snd_pcm_state(pcm);
    if (state == SND_PCM_STATE_DISCONNECTED) {
        report_alsa_failure(msg::sound_stopped, -ENODEV);
        device->failed.store(true, std::memory_order_release);
        device->holding.store(false, std::memory_order_release);
        return;
    }
    snd_pcm_sframes_t delay = 0;
    if ((state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_DRAINING) && snd_pcm_delay(pcm, &delay) == 0 &&
        delay > 0) {
        int ms = static_cast<int>(delay * 1000 / CD_RATE) + 1;
        wait_for_event(device, false, std::min(ms, RECHECK_MAX_MS));
        return;
    }
    // Played out (an idle ring underruns, or the sink takes audio as fast as it comes).
    device->holding.store(false, std::memory_order_release);
}

// After a failure: hands back what is queued (wave_device_queue refuses more) and waits for the stop.
void idle_after_failure(WaveDevice *device) {
    device->holding.store(false, std::memory_order_release);
    QueuedBuffer buffer;
    while (pop_front(device, &buffer)) report_done(device, buffer.slot);
    wait_for_event(device, false, -1);
}

void device_thread(WaveDevice *device) {
    t_keeps_alsa_reasons = true;
    while (!device->stopping.load(std::memory_order_acquire)) {
        if (hold_while_paused(device)) continue;
        if (device->failed.load(std::memory_order_relaxed)) {
            idle_after_failure(device);
            continue;
        }
        QueuedBuffer buffer;
        if (!front(device, &buffer)) {
            play_out(device);
            continue;
        }
        if (!play_buffer(device, buffer)) {
            device->failed.store(true, std::memory_order_release);
            continue;
        }
        if (device->stopping.load(std::memory_order_acquire)) break;
        pop_front(device, &buffer);
        report_done(device, buffer.slot);
    }
    // Asked right before the drop, on the thread that plays: nothing is heard in between.
    device->heard_at_stop.store(wave_device_frames_heard(device), std::memory_order_release);
    snd_pcm_drop(device->pcm);
    device->holding.store(false, std::memory_order_release);
    QueuedBuffer buffer;
    while (pop_front(device, &buffer)) report_done(device, buffer.slot);
}

// A second of ring in four periods; playback starts once the ring is full, and the device thread
// is woken when two periods (half the ring) are free.
int configure_cd_pcm(snd_pcm_t *pcm) {
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned rate = CD_RATE, buffer_us = BUFFER_US, period_us = PERIOD_US;
    int err;
    if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 || (err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1)) < 0 ||
        (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, CD_CHANNELS)) < 0 ||
        (err = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_us, nullptr)) < 0 ||
        (err = snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_us, nullptr)) < 0 ||
        (err = snd_pcm_hw_params(pcm, hw)) < 0)
        return err;
    // ALSA's plug layer converts where the device cannot play 44100 Hz itself.
    if (rate != CD_RATE) return -EINVAL;
    snd_pcm_uframes_t buffer_frames = 0, period_frames = 0;
    snd_pcm_hw_params_get_buffer_size(hw, &buffer_frames);
    snd_pcm_hw_params_get_period_size(hw, &period_frames, nullptr);
    const snd_pcm_uframes_t whole_periods = buffer_frames / period_frames * period_frames;
    const snd_pcm_uframes_t wake_frames = std::max(period_frames, whole_periods / 2 / period_frames * period_frames);
    snd_pcm_sw_params_t *sw;
    snd_pcm_sw_params_alloca(&sw);
    if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, whole_periods)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(pcm, sw, wake_frames)) < 0 || (err = snd_pcm_sw_params(pcm, sw)) < 0)
        return err;
    return 0;
}

snd_pcm_t *open_cd_pcm() {
    // Set on first use, never in a static constructor; alsa-lib's own printing stays off for the
    // process, its reasons are printed by us.
    snd_lib_error_set_handler(keep_alsa_reason);
    t_keeps_alsa_reasons = true;
    g_alsa_reason[0] = '\0';
    snd_pcm_t *pcm = nullptr;
    int err = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err >= 0) {
        err = configure_cd_pcm(pcm);
        if (err < 0) {
            snd_pcm_close(pcm);
            pcm = nullptr;
        }
    }
    if (err < 0) {
        report_alsa_failure(msg::sound_cannot_open, err);
        return nullptr;
    }
    g_alsa_reason[0] = '\0';
    return pcm;
}

void free_device(WaveDevice *device) {
    if (device->pcm) snd_pcm_close(device->pcm);
    if (device->wake_fd >= 0) ::close(device->wake_fd);
    delete device;
}

}  // namespace

void wave_output_prepare() {
    snd_lib_error_set_handler(keep_alsa_reason);
    snd_config_update();  // a configuration that cannot be read is reported by the open
}

WaveDevice *wave_device_open(zrSound *sound) {
    auto *device = new (std::nothrow) WaveDevice;
    if (!device) return nullptr;
    device->sound = sound;
    device->pcm = open_cd_pcm();
    t_keeps_alsa_reasons = false;  // from here on the device thread plays
    device->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!device->pcm || device->wake_fd < 0) {
        free_device(device);
        return nullptr;
    }
    try {
        device->thread = std::thread(device_thread, device);
    } catch (...) {
        free_device(device);
        return nullptr;
    }
    return device;
}

bool wave_device_queue(WaveDevice *device, int slot, const std::uint8_t *data, std::int32_t length) {
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (device->queued == 2 || device->failed.load(std::memory_order_acquire)) return false;
        // A trailing part of a frame cannot be played and is left out.
        device->queue[device->queued++] = {slot, data, static_cast<snd_pcm_uframes_t>(length / FRAME_BYTES)};
    }
    wake(device);
    return true;
}

void wave_device_unprepare(WaveDevice *, int) {}

void wave_device_pause(WaveDevice *device, bool paused) {
    device->pause_wanted.store(paused, std::memory_order_release);
    wake(device);
}

int wave_device_slot_of(const WaveDevice *, std::uintptr_t header) {
    return header == 1 || header == 2 ? static_cast<int>(header) : 0;
}

std::int64_t wave_device_stop(WaveDevice *device) {
    device->stopping.store(true, std::memory_order_release);
    wake(device);
    device->thread.join();
    return device->heard_at_stop.load(std::memory_order_acquire);
}

bool wave_device_close(WaveDevice *device) {
    free_device(device);
    return true;
}

bool wave_device_playing(WaveDevice *device) { return device->holding.load(std::memory_order_acquire); }

// Frames taken minus what ALSA still holds (its delay: the ring buffer and whatever lies behind it).
// alsa-lib serialises calls on one PCM, so asking for the delay while the device thread writes is
// safe. Taken is read first: frames written in between only make the answer smaller, never ahead
// of what was heard. Smaller than an earlier answer, it would step the time shown back, so the
// answer is never below the largest one given (each is at most what was heard, so that one is too).
std::int64_t wave_device_frames_heard(WaveDevice *device) {
    const std::int64_t taken = device->frames_taken.load(std::memory_order_acquire);
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(device->pcm, &delay) < 0 || delay < 0) delay = 0;
    const std::int64_t heard = std::max<std::int64_t>(0, taken - delay);
    std::int64_t floor = device->heard_floor.load(std::memory_order_relaxed);
    while (heard > floor && !device->heard_floor.compare_exchange_weak(floor, heard, std::memory_order_relaxed)) {
    }
    return std::max(heard, floor);
}

bool wave_device_failed(WaveDevice *device) { return device->failed.load(std::memory_order_acquire); }
