// A sound card without hardware, as an ALSA plug-in (alsa-lib's ioplug), for the tests and the
// benchmarks: it takes 16-bit stereo at 44100 Hz and plays it in real time by the clock. Any ALSA
// program (ours, aplay, wine's winmm) can play into it. No packaged plug-in paces without hardware
// (the null and file plug-ins take audio as fast as it comes), hence this one.
//
//   pcm_type.cddaplay_paced { lib "<path of this library>" }
//   pcm.!default { type cddaplay_paced [file "<path>"] [report "<path>"] [lenient yes] }
//
// file     appends each frame to the file at the moment it is played, so the file holds exactly what
//          a listener has heard so far; each open appends, so the runs of one program (a jump closes
//          the device and opens it again) make one recording.
// report   at close appends "underruns N frames F": N counts the times the player let the device
//          run dry and then went on playing (a gap was heard), F the frames played.
// lenient  how it paces. By default like a card: the player is woken at the end of a period (counted
//          from the start, like a card's interrupts) once its avail_min frames are free, and a
//          device run dry stops with an underrun (benchmarks: CPU per second compares on equal terms
//          with other players). With `lenient yes` the player is woken every 5 ms, a device run dry
//          waits for more audio (its clock starts again when it comes) and pause is supported (tests
//          on a loaded machine: a late player shifts the recording instead of failing).
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kFrameBytes = 4;
constexpr long kLenientTickNs = 5000000;

struct Sink {
    snd_pcm_ioplug_t io{};
    bool lenient = false;
    std::string report;  // empty: no report
    int out = -1;        // the recording, or -1
    // What was handed over and not yet played, kept only for the recording.
    std::vector<std::uint8_t> ring;
    std::uint64_t written = 0;   // frames handed over since prepare
    std::uint64_t recorded = 0;  // frames appended to the recording since prepare
    // The clock: `started` is when frame `played_at_start` (lenient) or hw_ptr `start_hw` (card) played.
    timespec started{};
    bool running = false;
    std::uint64_t played = 0;  // lenient: frames played since prepare
    std::uint64_t played_at_start = 0;
    snd_pcm_uframes_t start_hw = 0;
    snd_pcm_uframes_t avail_min = 0;  // card: the player's, once known (0: wake every period)
    // Gaps: a device run dry that is then given more audio.
    bool ran_dry = false;
    long underruns = 0;
    unsigned long long frames = 0;  // frames played before the current start (card) or in all (lenient)
};

Sink *sink_of(snd_pcm_ioplug_t *io) { return static_cast<Sink *>(io->private_data); }

long long ns_between(const timespec &from, const timespec &to) {
    return (to.tv_sec - from.tv_sec) * 1000000000LL + (to.tv_nsec - from.tv_nsec);
}

unsigned long long frames_since(const timespec &start, unsigned rate) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(ns_between(start, now)) * rate / 1000000000ULL;
}

timespec to_timespec(long long ns) { return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)}; }

// Appends to the recording what has been played up to frame `played` (counted since prepare).
void record_until(Sink *s, std::uint64_t played) {
    if (s->out < 0 || s->ring.empty()) return;
    const std::size_t frames = s->ring.size() / kFrameBytes;
    played = std::min(played, s->written);
    while (s->recorded < played) {
        const std::size_t at = s->recorded % frames;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(played - s->recorded, frames - at));
        (void)!write(s->out, s->ring.data() + at * kFrameBytes, n * kFrameBytes);
        s->recorded += n;
    }
}

void keep_for_recording(Sink *s, const snd_pcm_channel_area_t *areas, snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    if (s->out >= 0 && !s->ring.empty()) {
        const auto *src = static_cast<const std::uint8_t *>(areas[0].addr) + (areas[0].first + areas[0].step * offset) / 8;
        const std::size_t frames = s->ring.size() / kFrameBytes;
        for (snd_pcm_uframes_t i = 0; i < size; ++i)
            std::memcpy(s->ring.data() + ((s->written + i) % frames) * kFrameBytes, src + i * kFrameBytes, kFrameBytes);
    }
    s->written += size;
}

// --- Paced like a card -------------------------------------------------------------------------

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
    Sink *s = sink_of(io);
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

int card_start(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    s->start_hw = io->hw_ptr;
    clock_gettime(CLOCK_MONOTONIC, &s->started);
    s->running = true;
    arm_timer(io, true);
    arm_next_wake(io, io->appl_ptr);
    return 0;
}

int card_stop(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    if (s->running) s->frames += io->hw_ptr - s->start_hw;
    s->running = false;
    arm_timer(io, false);
    return 0;
}

snd_pcm_sframes_t card_pointer(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    if (!s->running) return static_cast<snd_pcm_sframes_t>(io->hw_ptr);
    const snd_pcm_uframes_t played = s->start_hw + frames_since(s->started, io->rate);
    if (played < io->appl_ptr) {
        record_until(s, s->written - (io->appl_ptr - played));
        return static_cast<snd_pcm_sframes_t>(played);
    }
    record_until(s, s->written);
    if (io->state == SND_PCM_STATE_DRAINING) return static_cast<snd_pcm_sframes_t>(io->appl_ptr);
    s->ran_dry = true;
    return -EPIPE;
}

snd_pcm_sframes_t card_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas, snd_pcm_uframes_t offset,
                                snd_pcm_uframes_t size) {
    keep_for_recording(sink_of(io), areas, offset, size);
    arm_next_wake(io, io->appl_ptr + size);
    return static_cast<snd_pcm_sframes_t>(size);
}

int card_prepare(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    if (s->ran_dry) ++s->underruns;  // played on after running dry: a gap was heard
    s->ran_dry = false;
    if (s->running) card_stop(io);  // after an underrun: the clock waits for the next start
    s->ring.assign(s->out >= 0 ? io->buffer_size * kFrameBytes : 0, 0);
    s->written = s->recorded = 0;
    return 0;
}

// Like a card's driver: a period's interrupt wakes the player only once at least its avail_min
// frames are free (alsa-lib calls this without the PCM's lock held).
int card_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int, unsigned short *revents) {
    Sink *s = sink_of(io);
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

// --- Paced leniently ---------------------------------------------------------------------------

void restart_clock(Sink *s) {
    s->played_at_start = s->played;
    clock_gettime(CLOCK_MONOTONIC, &s->started);
}

// Plays every frame whose time has come.
void catch_up(Sink *s) {
    if (!s->running) return;
    const auto due = s->played_at_start + frames_since(s->started, s->io.rate);
    s->played = std::min<std::uint64_t>(due, s->written);
    record_until(s, s->played);
    if (s->played == s->written && due > s->played) {  // ran dry: the clock restarts with new audio
        s->ran_dry = true;
        restart_clock(s);
    }
}

int lenient_start(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    restart_clock(s);
    s->running = true;
    return 0;
}

// A card that can pause: it stops playing where it stands and goes on from the same frame.
int lenient_pause(snd_pcm_ioplug_t *io, int enable) {
    Sink *s = sink_of(io);
    catch_up(s);
    if (!enable) restart_clock(s);
    s->running = !enable;
    return 0;
}

int lenient_stop(snd_pcm_ioplug_t *io) {
    sink_of(io)->running = false;
    return 0;
}

snd_pcm_sframes_t lenient_pointer(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    catch_up(s);
    return static_cast<snd_pcm_sframes_t>(s->played % io->buffer_size);
}

snd_pcm_sframes_t lenient_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                                   snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    Sink *s = sink_of(io);
    if (s->ran_dry && s->running) ++s->underruns;  // more audio after running dry: a gap was heard
    s->ran_dry = false;
    keep_for_recording(s, areas, offset, size);
    return static_cast<snd_pcm_sframes_t>(size);
}

int lenient_prepare(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    s->frames += s->played;
    s->ring.assign(io->buffer_size * kFrameBytes, 0);
    s->written = s->recorded = s->played = 0;
    s->running = s->ran_dry = false;
    return 0;
}

// As a card's driver does: writable only once the player's avail_min frames are free (alsa-lib
// calls this without the PCM's lock held).
int lenient_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int, unsigned short *revents) {
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

// --- Both ----------------------------------------------------------------------------------------

void free_sink(Sink *s) {
    if (s->io.poll_fd >= 0) close(s->io.poll_fd);
    if (s->out >= 0) close(s->out);
    delete s;
}

int sink_close(snd_pcm_ioplug_t *io) {
    Sink *s = sink_of(io);
    if (s->lenient) s->frames += s->played;
    else if (s->running) s->frames += io->hw_ptr - s->start_hw;
    if (!s->report.empty()) {
        if (FILE *f = std::fopen(s->report.c_str(), "a")) {
            std::fprintf(f, "underruns %ld frames %llu\n", s->underruns, s->frames);
            std::fclose(f);
        }
    }
    free_sink(s);
    return 0;
}

snd_pcm_ioplug_callback_t callbacks(bool lenient) {
    snd_pcm_ioplug_callback_t c{};
    c.start = lenient ? lenient_start : card_start;
    c.stop = lenient ? lenient_stop : card_stop;
    c.pause = lenient ? lenient_pause : nullptr;  // a card here cannot pause
    c.pointer = lenient ? lenient_pointer : card_pointer;
    c.transfer = lenient ? lenient_transfer : card_transfer;
    c.prepare = lenient ? lenient_prepare : card_prepare;
    c.poll_revents = lenient ? lenient_poll_revents : card_poll_revents;
    c.close = sink_close;
    return c;
}

const snd_pcm_ioplug_callback_t kCard = callbacks(false);
const snd_pcm_ioplug_callback_t kLenient = callbacks(true);

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

// Reads the plug-in's fields into `s`; false on a field it does not know.
bool read_fields(snd_config_t *conf, Sink *s) {
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t *n = snd_config_iterator_entry(i);
        const char *id;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (std::strcmp(id, "comment") == 0 || std::strcmp(id, "type") == 0 || std::strcmp(id, "hint") == 0) continue;
        const char *text = nullptr;
        if (std::strcmp(id, "report") == 0 && snd_config_get_string(n, &text) >= 0) {
            s->report = text;
        } else if (std::strcmp(id, "file") == 0 && snd_config_get_string(n, &text) >= 0) {
            s->out = open(text, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (s->out < 0) return false;
        } else if (std::strcmp(id, "lenient") == 0) {
            const int on = snd_config_get_bool(n);
            if (on < 0) return false;
            s->lenient = on != 0;
        } else {
            SNDERR("Unknown field %s", id);
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(cddaplay_paced) {
    (void)root;
    auto *s = new Sink;
    s->io.poll_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (!read_fields(conf, s) || s->io.poll_fd < 0 || stream != SND_PCM_STREAM_PLAYBACK) {
        free_sink(s);
        return -EINVAL;
    }
    if (s->lenient) {
        const itimerspec tick{{0, kLenientTickNs}, {0, kLenientTickNs}};
        if (timerfd_settime(s->io.poll_fd, 0, &tick, nullptr) < 0) {
            free_sink(s);
            return -EIO;
        }
    }
    s->io.version = SND_PCM_IOPLUG_VERSION;
    s->io.name = "cddaplay paced sink";
    s->io.flags = s->lenient ? 0 : SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
    s->io.poll_events = POLLIN;
    s->io.callback = s->lenient ? &kLenient : &kCard;
    s->io.private_data = s;
    int err = snd_pcm_ioplug_create(&s->io, name, stream, mode);
    if (err < 0) {
        free_sink(s);
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
