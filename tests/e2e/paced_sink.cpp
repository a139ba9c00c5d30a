// A sound card for tests, as an ALSA plug-in: it plays in real time (44100 frames a second, by the
// clock) and appends each frame to a file at the moment it is played, so the file holds exactly
// what a listener would have heard so far, and ALSA's delay is what still waits to be played.
//
//   pcm_type.cddaplay_paced { lib "<path of this library>" }
//   pcm.!default { type cddaplay_paced file "<capture path>" }
//
// Each open appends to the file, so the runs of one program (a jump closes the device and opens it
// again) make one recording.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <vector>

namespace {

constexpr unsigned kRate = 44100;
constexpr std::size_t kFrameBytes = 4;

struct Sink {
    snd_pcm_ioplug_t io{};
    int timer = -1;  // ticks every 5 ms, so pollers look again
    int out = -1;
    std::vector<std::uint8_t> ring;
    std::uint64_t written = 0;  // frames the application has handed over since prepare
    std::uint64_t played = 0;   // frames played since prepare
    std::uint64_t played_at_start = 0;
    timespec started{};
    bool running = false;
};

Sink *sink_of(snd_pcm_ioplug_t *io) { return static_cast<Sink *>(io->private_data); }

double seconds_since(const timespec &t) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - t.tv_sec) + double(now.tv_nsec - t.tv_nsec) / 1e9;
}

// Plays (appends to the file) every frame whose time has come.
void catch_up(Sink *s) {
    if (!s->running || s->ring.empty()) return;
    const auto due = s->played_at_start + static_cast<std::uint64_t>(seconds_since(s->started) * kRate);
    const std::size_t frames = s->ring.size() / kFrameBytes;
    while (s->played < due && s->played < s->written) {
        const std::size_t at = s->played % frames;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({due - s->played, s->written - s->played, std::uint64_t{frames - at}}));
        (void)!write(s->out, s->ring.data() + at * kFrameBytes, n * kFrameBytes);
        s->played += n;
    }
    if (s->played == s->written && due > s->played) {  // ran dry: the clock restarts with new audio
        s->played_at_start = s->played;
        clock_gettime(CLOCK_MONOTONIC, &s->started);
    }
}

int sink_start(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    s->played_at_start = s->played;
    clock_gettime(CLOCK_MONOTONIC, &s->started);
    s->running = true;
    return 0;
}

// A card that can pause: it stops playing where it stands and goes on from the same frame.
int sink_pause(snd_pcm_ioplug_t *io, int enable) {
    Sink *s = sink_of(io);
    catch_up(s);
    if (enable) {
        s->running = false;
    } else {
        s->played_at_start = s->played;
        clock_gettime(CLOCK_MONOTONIC, &s->started);
        s->running = true;
    }
    return 0;
}

int sink_stop(snd_pcm_ioplug_t *io) {
    sink_of(io)->running = false;
    return 0;
}

snd_pcm_sframes_t sink_pointer(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    catch_up(s);
    return static_cast<snd_pcm_sframes_t>(s->played % io->buffer_size);
}

snd_pcm_sframes_t sink_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas, snd_pcm_uframes_t offset,
                                snd_pcm_uframes_t size) {
    Sink *s = sink_of(io);
    const auto *src = static_cast<const std::uint8_t *>(areas[0].addr) + (areas[0].first + areas[0].step * offset) / 8;
    const std::size_t frames = s->ring.size() / kFrameBytes;
    for (snd_pcm_uframes_t i = 0; i < size; ++i) {
        std::memcpy(s->ring.data() + ((s->written + i) % frames) * kFrameBytes, src + i * kFrameBytes, kFrameBytes);
    }
    s->written += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

int sink_prepare(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    s->ring.assign(io->buffer_size * kFrameBytes, 0);
    s->written = s->played = 0;
    s->running = false;
    return 0;
}

// As a card's driver does: writable only once the player's avail_min frames are free (alsa-lib
// calls this without the PCM's lock held).
int sink_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int, unsigned short *revents) {
    std::uint64_t ticks;
    *revents = 0;
    if (!(pfd[0].revents & POLLIN)) return 0;
    (void)!read(pfd[0].fd, &ticks, sizeof ticks);
    snd_pcm_sw_params_t *sw;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_uframes_t avail_min = 1;
    if (snd_pcm_sw_params_current(io->pcm, sw) == 0) snd_pcm_sw_params_get_avail_min(sw, &avail_min);
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(io->pcm);
    if (avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= avail_min) *revents = POLLOUT;
    return 0;
}

int sink_close(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    if (s->timer >= 0) close(s->timer);
    if (s->out >= 0) close(s->out);
    delete s;
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = sink_start;
    c.stop = sink_stop;
    c.pause = sink_pause;
    c.pointer = sink_pointer;
    c.transfer = sink_transfer;
    c.prepare = sink_prepare;
    c.poll_revents = sink_poll_revents;
    c.close = sink_close;
    return c;
}();

int constrain(snd_pcm_ioplug_t *io) {
    const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    const unsigned formats[] = {SND_PCM_FORMAT_S16_LE};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
    if (!err) err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats);
    if (!err) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2);
    if (!err) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, kRate, kRate);
    if (!err) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 256, 1 << 20);
    if (!err) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64);
    return err;
}

}  // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(cddaplay_paced) {
    (void)root;
    const char *file = nullptr;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t *n = snd_config_iterator_entry(i);
        const char *id;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (std::strcmp(id, "file") == 0) snd_config_get_string(n, &file);
    }
    if (!file || stream != SND_PCM_STREAM_PLAYBACK) return -EINVAL;
    auto *s = new Sink;
    s->out = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    s->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const itimerspec tick{{0, 5000000}, {0, 5000000}};
    if (s->out < 0 || s->timer < 0 || timerfd_settime(s->timer, 0, &tick, nullptr) < 0) {
        if (s->out >= 0) close(s->out);
        if (s->timer >= 0) close(s->timer);
        delete s;
        return -EIO;
    }
    s->io.version = SND_PCM_IOPLUG_VERSION;
    s->io.name = "cddaplay paced test sink";
    s->io.callback = &kCallbacks;
    s->io.private_data = s;
    s->io.poll_fd = s->timer;
    s->io.poll_events = POLLIN;
    int err = snd_pcm_ioplug_create(&s->io, name, stream, mode);
    if (err < 0) {
        close(s->out);
        close(s->timer);
        delete s;
        return err;
    }
    if ((err = constrain(&s->io)) < 0) {
        snd_pcm_ioplug_delete(&s->io);
        return err;
    }
    *pcmp = s->io.pcm;
    return 0;
}
extern "C" {
SND_PCM_PLUGIN_SYMBOL(cddaplay_paced);
}
