// An ALSA output for benchmarks that plays in real time without a sound card: an external PCM
// plugin (alsa-lib's ioplug) that takes 16-bit stereo at 44100 Hz and discards it at the pace a
// card would, waking its user at the end of a period like a card's interrupt, once at least the
// user's avail_min frames are free. Any ALSA program (ours, aplay) can play into it, so their CPU
// per second of audio compares on equal terms.
//
// Configuration (bench/compare.sh writes it):
//   pcm_type.cddaplay_paced { lib "/path/libasound_module_pcm_cddaplay_paced.so" }
//   pcm.!default { type cddaplay_paced report "/path/report.txt" }
// At close the plugin appends "underruns N frames F" to the report file: N counts the times the
// player let the device run dry and then went on playing (a gap), F the frames it played.
//
// No packaged ALSA plugin paces without hardware (the null and file plugins take audio as fast as
// it comes), hence this one.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct PacedSink {
    snd_pcm_ioplug_t io{};
    std::string report;
    snd_pcm_uframes_t start_hw = 0;  // io.hw_ptr when the clock started
    timespec started{};
    bool running = false;
    bool ran_dry = false;  // an underrun not yet followed by more audio
    snd_pcm_uframes_t avail_min = 0;  // the player's, once known (0: wake every period)
    long underruns = 0;
    unsigned long long frames = 0;
};

PacedSink *sink_of(snd_pcm_ioplug_t *io) { return static_cast<PacedSink *>(io->private_data); }

unsigned long long frames_since(const timespec &start, unsigned rate) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
    return static_cast<unsigned long long>(ns) * rate / 1000000000ULL;
}

timespec to_timespec(long long ns) { return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)}; }

long long period_ns(const snd_pcm_ioplug_t *io) {
    return static_cast<long long>(io->period_size * 1000000000ULL / io->rate);
}

void arm_timer(snd_pcm_ioplug_t *io, bool on) {
    itimerspec t{};
    if (on) t.it_value = t.it_interval = to_timespec(period_ns(io));
    timerfd_settime(io->poll_fd, 0, &t, nullptr);
}

// The timer's next expiry: the first period's end (counted from the start, like a card's
// interrupts) at which the player's avail_min frames are free, given what it has written.
void arm_next_wake(snd_pcm_ioplug_t *io, snd_pcm_uframes_t appl_ptr) {
    PacedSink *s = sink_of(io);
    if (!s->running || s->avail_min == 0) return;
    const unsigned long long played = frames_since(s->started, io->rate);
    const long long written = static_cast<long long>(appl_ptr - s->start_hw);
    const long long ready = written + static_cast<long long>(s->avail_min) - static_cast<long long>(io->buffer_size);
    unsigned long long periods = played / io->period_size + 1;
    if (ready > 0) periods = std::max<unsigned long long>(periods, (ready + io->period_size - 1) / io->period_size);
    const long long at_ns = s->started.tv_sec * 1000000000LL + s->started.tv_nsec +
                            static_cast<long long>(periods * io->period_size * 1000000000ULL / io->rate);
    const itimerspec t{to_timespec(period_ns(io)), to_timespec(at_ns)};
    timerfd_settime(io->poll_fd, TFD_TIMER_ABSTIME, &t, nullptr);
}

int paced_start(snd_pcm_ioplug_t *io) {
    PacedSink *s = sink_of(io);
    s->start_hw = io->hw_ptr;
    clock_gettime(CLOCK_MONOTONIC, &s->started);
    s->running = true;
    arm_timer(io, true);
    arm_next_wake(io, io->appl_ptr);
    return 0;
}

int paced_stop(snd_pcm_ioplug_t *io) {
    PacedSink *s = sink_of(io);
    if (s->running) s->frames += io->hw_ptr - s->start_hw;
    s->running = false;
    arm_timer(io, false);
    return 0;
}

snd_pcm_sframes_t paced_pointer(snd_pcm_ioplug_t *io) {
    PacedSink *s = sink_of(io);
    if (!s->running) return static_cast<snd_pcm_sframes_t>(io->hw_ptr);
    const snd_pcm_uframes_t played = s->start_hw + frames_since(s->started, io->rate);
    if (played < io->appl_ptr) return static_cast<snd_pcm_sframes_t>(played);
    if (io->state == SND_PCM_STATE_DRAINING) return static_cast<snd_pcm_sframes_t>(io->appl_ptr);
    s->ran_dry = true;
    return -EPIPE;
}

snd_pcm_sframes_t paced_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *, snd_pcm_uframes_t,
                                 snd_pcm_uframes_t size) {
    arm_next_wake(io, io->appl_ptr + size);
    return static_cast<snd_pcm_sframes_t>(size);
}

int paced_prepare(snd_pcm_ioplug_t *io) {
    PacedSink *s = sink_of(io);
    if (s->ran_dry) ++s->underruns;  // played on after running dry: a gap was heard
    s->ran_dry = false;
    if (s->running) paced_stop(io);  // after an underrun: the clock waits for the next start
    return 0;
}

// Like a card's driver: a period's interrupt wakes the player only once at least its avail_min
// frames are free (alsa-lib calls this without the PCM's lock held).
int paced_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int, unsigned short *revents) {
    PacedSink *s = sink_of(io);
    std::uint64_t expirations;
    *revents = 0;
    if (!(pfd[0].revents & POLLIN)) return 0;
    (void)!read(io->poll_fd, &expirations, sizeof expirations);
    if (s->avail_min == 0) {
        snd_pcm_sw_params_t *sw;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(io->pcm, sw) == 0) snd_pcm_sw_params_get_avail_min(sw, &s->avail_min);
    }
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(io->pcm);
    if (avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= s->avail_min) *revents = POLLOUT;
    else arm_next_wake(io, io->appl_ptr);
    return 0;
}

int paced_close(snd_pcm_ioplug_t *io) {
    PacedSink *s = sink_of(io);
    if (s->running) s->frames += io->hw_ptr - s->start_hw;
    if (!s->report.empty()) {
        if (FILE *f = std::fopen(s->report.c_str(), "a")) {
            std::fprintf(f, "underruns %ld frames %llu\n", s->underruns, s->frames);
            std::fclose(f);
        }
    }
    close(io->poll_fd);
    delete s;
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = paced_start;
    c.stop = paced_stop;
    c.pointer = paced_pointer;
    c.transfer = paced_transfer;
    c.prepare = paced_prepare;
    c.poll_revents = paced_poll_revents;
    c.close = paced_close;
    return c;
}();

int set_constraints(snd_pcm_ioplug_t *io) {
    static const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned formats[] = {SND_PCM_FORMAT_S16_LE};
    int err;
    if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 44100, 44100)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 20)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 128, 4 << 20)) < 0)
        return err;
    return 0;
}

}  // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(cddaplay_paced) {
    (void)root;
    auto *s = new PacedSink;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t *n = snd_config_iterator_entry(i);
        const char *id;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (std::strcmp(id, "comment") == 0 || std::strcmp(id, "type") == 0 || std::strcmp(id, "hint") == 0) continue;
        const char *text;
        if (std::strcmp(id, "report") == 0 && snd_config_get_string(n, &text) >= 0) {
            s->report = text;
            continue;
        }
        SNDERR("Unknown field %s", id);
        delete s;
        return -EINVAL;
    }
    s->io.version = SND_PCM_IOPLUG_VERSION;
    s->io.name = "cddaplay paced sink";
    s->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
    s->io.poll_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    s->io.poll_events = POLLIN;
    s->io.callback = &kCallbacks;
    s->io.private_data = s;
    if (s->io.poll_fd < 0 || stream != SND_PCM_STREAM_PLAYBACK) {
        if (s->io.poll_fd >= 0) close(s->io.poll_fd);
        delete s;
        return -EINVAL;
    }
    int err = snd_pcm_ioplug_create(&s->io, name, stream, mode);
    if (err < 0) {
        close(s->io.poll_fd);
        delete s;
        return err;
    }
    if ((err = set_constraints(&s->io)) < 0) {
        snd_pcm_ioplug_delete(&s->io);
        return err;
    }
    *pcmp = s->io.pcm;
    return 0;
}

extern "C" {
SND_PCM_PLUGIN_SYMBOL(cddaplay_paced)
}
