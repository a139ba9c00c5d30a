#include "front/player.h"

#include <cstdio>

#include "common/messages.h"
#include "front/run.h"
#include "front/status_line.h"
#include "platform/platform.h"
#include "playback/wave_out.h"

namespace {

using platform::KeyPress;

constexpr std::chrono::milliseconds KEY_WAIT_MS{50};  // also how often a run's end is noticed
constexpr std::chrono::milliseconds END_POLL_MS{10};
constexpr std::int64_t FRAMES_PER_SECTOR = 588;
constexpr std::int32_t SECTORS_PER_SECOND = 75;
constexpr std::int32_t PREVIOUS_WITHIN_SECTORS = 3 * SECTORS_PER_SECOND;
constexpr std::int32_t SEEK_SECTORS = 10 * SECTORS_PER_SECOND;
constexpr int INTERRUPTED_STATUS = 130;

enum class Action { none, stop, pause, next, previous, back, forward };

Action action_of(const KeyPress &key, bool keys) {
    if (key.kind == KeyPress::Kind::left) return Action::back;
    if (key.kind == KeyPress::Kind::right) return Action::forward;
    if (key.kind != KeyPress::Kind::character) return Action::none;
    if (!keys) return Action::stop;  // without a terminal any character is the described ENTER
    switch (key.character) {
    case '\n':
    case '\r':
    case 'q':
    case 'Q': return Action::stop;
    case ' ': return Action::pause;
    case 'n':
    case 'N':
    case '>': return Action::next;
    case 'p':
    case 'P':
    case '<': return Action::previous;
    default: return Action::none;
    }
}

bool run_active(const PlayRequest &request) { return request.ended.load(std::memory_order_acquire) == 0; }

std::int32_t track_index_at(const CdromToc &toc, std::int32_t lba) {
    std::int32_t index = 0;
    while (index + 1 < toc.track_count && lba >= toc.entries[index + 1].start_lba) ++index;
    return index;
}

// Where track `index` starts within the range (the range may start inside it).
std::int32_t track_start_in_range(const Player &p, std::int32_t index) {
    const std::int32_t start = p.toc->entries[index].start_lba;
    return start < p.first_lba ? p.first_lba : start;
}

// The sector a jump would start at; -1 when there is none (the range would be left).
std::int32_t target_of(const Player &p, Action action, std::int32_t at) {
    const std::int32_t index = track_index_at(*p.toc, at);
    switch (action) {
    case Action::next: {
        const std::int32_t next = index + 1 <= p.toc->track_count ? p.toc->entries[index + 1].start_lba : p.end_lba;
        if (next < p.end_lba) return next;
        return p.repeat ? p.first_lba : -1;
    }
    case Action::previous: {
        const std::int32_t start = track_start_in_range(p, index);
        if (at - start >= PREVIOUS_WITHIN_SECTORS || start <= p.first_lba) return start;
        return track_start_in_range(p, track_index_at(*p.toc, start - 1));
    }
    case Action::back: return at - SEEK_SECTORS > p.first_lba ? at - SEEK_SECTORS : p.first_lba;
    case Action::forward: return at + SEEK_SECTORS < p.end_lba ? at + SEEK_SECTORS : -1;
    default: return -1;
    }
}

bool start_run(Player &p, std::int32_t lba, bool continued) {
    PlayRequest &request = *p.request;
    request.start_lba = lba;
    request.end_lba = p.end_lba;
    request.repeat_from_lba = p.repeat ? p.first_lba : NO_REPEAT;
    request.continued = continued;
    request.stop.store(0, std::memory_order_relaxed);
    request.ended.store(0, std::memory_order_relaxed);
    request.no_sound_device.store(0, std::memory_order_relaxed);
    p.run_start_lba.store(lba);
    p.runs.fetch_add(1);
    return platform::start_thread(&play_thread, &request);
}

std::int32_t sector_of(std::int64_t frame) {
    return static_cast<std::int32_t>((frame + FRAMES_PER_SECTOR / 2) / FRAMES_PER_SECTOR);
}

// The jump waiting for the current run to end: to a track's start, or a seek from where the sound
// is cut (known once the run has ended), `offset` sectors away.
struct Jump {
    bool pending = false;
    bool from_cut = false;
    std::int32_t lba = 0;  // the track's start, when not from_cut
    std::int32_t offset = 0;
};

// The one run of the driver at a time, and the jump waiting for the current run to end.
struct Steering {
    Player &player;
    bool keys;
    StatusLine *status;
    Jump jump_to;
    bool over = false;  // the playback has ended by itself
    bool input_ended = false;

    // The sector the listener is at, to a sector: a jump already asked for counts as done.
    std::int32_t heard_now() const {
        const std::int64_t frame = frame_heard(player);
        return frame >= 0 ? sector_of(frame) : player.run_start_lba.load();
    }
    std::int32_t position() const {
        if (!jump_to.pending) return heard_now();
        return (jump_to.from_cut ? heard_now() : jump_to.lba) + jump_to.offset;
    }

    // Where the run that just ended left off.
    std::int32_t cut() const {
        std::int64_t frame = player.run_start_lba.load() * FRAMES_PER_SECTOR + player.request->frames_heard;
        const std::int64_t first = player.first_lba * FRAMES_PER_SECTOR, end = player.end_lba * FRAMES_PER_SECTOR;
        if (player.repeat && frame >= end && end > first) frame = first + (frame - first) % (end - first);
        return sector_of(frame);
    }

    std::int32_t target() const {
        const std::int32_t lba = (jump_to.from_cut ? cut() : jump_to.lba) + jump_to.offset;
        return lba < player.first_lba ? player.first_lba : lba >= player.end_lba ? player.end_lba - 1 : lba;
    }

    void jump(Action action) {
        const std::int32_t at = position();
        const std::int32_t target = target_of(player, action, at);
        if (over || target < 0) return;
        std::int32_t playing = 0;
        PlayRequest &request = *player.request;
        // A run that already ends by itself (its range played) is not turned into a jump. Once a
        // jump is pending, the run ends for it whatever its stop word says by now.
        if (!jump_to.pending && run_active(request) &&
            !request.stop.compare_exchange_strong(playing, STOP_JUMP, std::memory_order_relaxed))
            return;
        const bool seek = action == Action::back || action == Action::forward;
        if (!seek) jump_to = {true, false, target, 0};
        else if (jump_to.pending) jump_to.offset += target - at;
        else jump_to = {true, true, 0, target - at};
    }

    void toggle_pause() {
        const bool paused = !player.paused.load(std::memory_order_relaxed);
        player.paused.store(paused, std::memory_order_relaxed);
        wave_pause(paused);
    }

    // Between runs: the next one starts, or the playback is over.
    void follow_runs() {
        if (over || run_active(*player.request)) return;
        const bool jumped = jump_to.pending && start_run(player, target(), true);
        jump_to = {};
        if (jumped) return;
        over = true;
        if (status) stop_status_line(status);
    }

    // Stops the status line and the run, waits for both within the grace, and gives the exit status.
    int stop(int exit_status) {
        if (status) stop_status_line(status);
        PlayRequest &request = *player.request;
        request.stop.store(STOP_END, std::memory_order_relaxed);
        std::chrono::milliseconds waited{0};
        while ((run_active(request) || (status && !status_line_finished(status))) && waited < EXIT_GRACE_MS) {
            platform::sleep_ms(END_POLL_MS);
            waited += END_POLL_MS;
        }
        // Nothing was played when the run could not open the sound device: a failure.
        if (exit_status == 0 && !run_active(request) && request.no_sound_device.load(std::memory_order_relaxed) != 0)
            exit_status = 1;
        // A run ended for a jump that will not come now printed no "Finished.".
        if (!run_active(request) && request.ended.load(std::memory_order_acquire) == ENDED_FOR_JUMP)
            std::printf("%s", msg::finished);
        // Something is still inside a command: the static destructors that returning would run
        // (the pass-through library's among them) must not tear anything down under it.
        if (run_active(request) || (status && !status_line_finished(status))) platform::end_process_now(exit_status);
        platform::keys_end();
        return exit_status;
    }
};

}  // namespace

std::int32_t end_of_tracks(const CdromToc &toc, const AudioRange &range, std::int32_t limit) {
    const std::int32_t after_last = range.track_index + limit;
    if (limit <= 0 || after_last >= toc.track_count) return range.end_lba;
    const std::int32_t end = toc.entries[after_last].start_lba;
    return end < range.end_lba ? end : range.end_lba;
}

std::int64_t frame_heard(const Player &p) {
    // A run that starts between the two looks at its start changes what the frames count from.
    const std::int32_t runs = p.runs.load();
    const std::int32_t start = p.run_start_lba.load();
    const std::int64_t frames = wave_frames_heard();
    if (frames <= 0 || runs != p.runs.load()) return -1;
    std::int64_t frame = start * FRAMES_PER_SECTOR + frames;
    const std::int64_t first = p.first_lba * FRAMES_PER_SECTOR, end = p.end_lba * FRAMES_PER_SECTOR;
    if (p.repeat && frame >= end && end > first) frame = first + (frame - first) % (end - first);
    return frame;
}

bool start_playback(Player &player) { return start_run(player, player.first_lba, false); }

int steer_playback(Player &player, bool keys, StatusLine *status) {
    Steering s{player, keys, status, {}};
    for (;;) {
        if (platform::interrupted()) return s.stop(INTERRUPTED_STATUS);
        const KeyPress key = platform::read_key(KEY_WAIT_MS);
        if (key.kind == KeyPress::Kind::end_of_input) s.input_ended = true;
        switch (action_of(key, keys)) {
        case Action::stop: return s.stop(0);
        case Action::pause: s.toggle_pause(); break;
        case Action::none: break;
        default: s.jump(action_of(key, keys)); break;
        }
        s.follow_runs();
        if (s.over && s.input_ended) return s.stop(0);
    }
}
