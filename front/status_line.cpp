#include "front/status_line.h"

#include <cstdio>

#include "cdrom/audio_range.h"
#include "common/messages.h"
#include "platform/platform.h"
#include "platform/status_terminal.h"

namespace {

constexpr std::chrono::milliseconds TICK_MS{50};
constexpr int TICKS_PER_DRAW = 5;                 // a redraw every 250 ms
constexpr std::int32_t SECTORS_PER_SECOND = 75;
constexpr std::int64_t FRAMES_PER_SECTOR = 588;
// The line is cleared this close to the end of the range, before the driver prints "Finished."
// on the same terminal (a redraw is 19 sectors of sound apart).
constexpr std::int32_t END_MARGIN_SECTORS = 23;
constexpr char ELLIPSIS[] = "...";
constexpr int STOP_WAIT_STEPS = 100;              // x 10 ms

// Characters as the terminal counts them: every UTF-8 lead byte starts one.
std::size_t columns_of(const std::string &s) {
    std::size_t n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

std::string cut_to_columns(const std::string &s, std::size_t columns) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && n++ == columns) return s.substr(0, i);
    }
    return s;
}

// -1 in a hidden track (audio before track 1).
int track_index_at(const CdromToc &toc, std::int32_t lba) {
    if (lba < toc.entries[0].start_lba) return -1;
    int index = 0;
    while (index + 1 < toc.track_count && lba >= toc.entries[index + 1].start_lba) ++index;
    return index;
}

// The names cut to fit after `head` in `columns`, ending in "..." when cut; empty when not even
// that fits.
std::string names_to_fit(const std::string &names, std::size_t head, std::size_t columns) {
    constexpr std::size_t gap = 2;
    if (names.empty() || head + gap >= columns) return "";
    const std::size_t room = columns - head - gap;
    if (columns_of(names) <= room) return names;
    if (room <= sizeof ELLIPSIS) return "";
    return cut_to_columns(names, room - (sizeof ELLIPSIS - 1)) + ELLIPSIS;
}

// Where track `index` ends (-1: the hidden track, which ends where track 1 starts).
std::int32_t end_of_track(const CdromToc &toc, int index) {
    return index < 0 ? toc.entries[0].start_lba : track_end_lba(toc, index);
}

// The line of track `index` (-1: the hidden track before track 1) with `heard` sectors of the range
// played; the time in the track stops at its length.
std::string line_of_track(const CdromToc &toc, const CdTextTable &text, std::int32_t end_lba, int index,
                          std::int32_t heard, std::size_t columns) {
    const std::int32_t start = index < 0 ? 0 : toc.entries[index].start_lba;
    const std::int32_t length = end_of_track(toc, index) - start;
    const std::int32_t elapsed = heard - start < length ? heard - start : length;
    char head[96];
    std::snprintf(head, sizeof head, msg::status_head, index + 1, toc.track_count,
                  minutes_seconds(elapsed).c_str(), minutes_seconds(length).c_str(),
                  minutes_seconds(end_lba - heard).c_str());
    std::string out = head;
    const auto number = static_cast<std::size_t>(index + 1);
    const std::string names =
        index >= 0 && number < text.entries.size() ? title_and_performer(text.entries[number]) : "";
    const std::string fitted = names_to_fit(names, out.size(), columns);
    if (!fitted.empty()) out += "  " + fitted;
    return cut_to_columns(out, columns);
}

void put(const std::string &s) { platform::write_to_terminal(s.data(), s.size()); }

// The widest line that never wraps: writing the last column makes some terminals wrap at once.
std::size_t usable_columns() {
    const std::size_t columns = platform::terminal_columns();
    return columns > 1 ? columns - 1 : 1;
}

class Painter {
public:
    // The text is copied: the run may end, and the record's text be destroyed with the static
    // objects, while this thread still draws (stop_status_line waits only so long).
    explicit Painter(const StatusLine &line) : line_(line), text_(line.text) {}

    // Redraws for what has been heard; false once playing has ended.
    bool draw() {
        const Player &player = *line_.player;
        const std::int64_t frame = frame_heard(player);
        // Nothing heard yet (the driver may still print its "now playing..." line), or between two
        // runs: nothing to draw now.
        if (frame < 0) return true;
        const std::int64_t heard = frame / FRAMES_PER_SECTOR;
        if (!player.repeat && heard >= player.end_lba - END_MARGIN_SECTORS) return false;
        int index = 0;
        columns_ = usable_columns();
        // "paused" is part of the line, so the names make room for it.
        const bool paused = player.paused.load(std::memory_order_relaxed);
        const std::size_t marker = paused ? sizeof msg::status_paused - 1 : 0;
        std::string text = status_text(*line_.toc, text_, player.end_lba, static_cast<std::int32_t>(heard),
                                       columns_ > marker ? columns_ - marker : 1, &index);
        if (paused) text = cut_to_columns(text + msg::status_paused, columns_);
        const std::int32_t runs = player.runs.load();
        if (drawn_index_ != NOTHING_DRAWN && index != drawn_index_) {
            // The finished track's line stays in the scrollback, complete when it played to its end.
            if (runs == drawn_runs_)
                redraw(line_of_track(*line_.toc, text_, player.end_lba, drawn_index_,
                                     end_of_track(*line_.toc, drawn_index_), columns_));
            put("\n");
            width_ = 0;
        }
        redraw(text);
        drawn_index_ = index;
        drawn_runs_ = runs;
        return true;
    }

    // Whether the terminal's width has changed since the last draw.
    bool resized() const { return drawn_index_ != NOTHING_DRAWN && usable_columns() != columns_; }

    void clear() {
        if (width_ > 0) put("\r" + std::string(blank_width(), ' ') + "\r");
        width_ = 0;
    }

    // Other lines written to standard error meanwhile: each complete line goes above the status
    // line, which the next draw puts back below them; a last incomplete line waits for its end
    // (or for `all`). True when something was written.
    bool pass_on(std::string &captured, bool all) {
        std::size_t end = captured.rfind('\n');
        if (all && !captured.empty()) {
            if (captured.back() != '\n') captured += '\n';
            end = captured.size() - 1;
        }
        if (end == std::string::npos) return false;
        clear();
        put(captured.substr(0, end + 1));
        captured.erase(0, end + 1);
        return true;
    }

private:
    static constexpr int NOTHING_DRAWN = -2;

    // Blanking the old text never reaches past the terminal's last usable column: after a
    // narrowing, writing the old width would wrap.
    std::size_t blank_width() const { return width_ < columns_ ? width_ : columns_; }

    void redraw(const std::string &text) {
        const std::size_t width = columns_of(text);
        const std::size_t blank = blank_width();
        put("\r" + text + (width < blank ? std::string(blank - width, ' ') : std::string()));
        width_ = width;
    }

    const StatusLine &line_;
    const CdTextTable text_;
    int drawn_index_ = NOTHING_DRAWN;
    std::int32_t drawn_runs_ = 0;
    std::size_t width_ = 0;
    std::size_t columns_ = 1;
};

bool asked_to_end(const StatusLine &line) { return line.quit.load(std::memory_order_acquire); }

// Each tick waits for standard error's lines (at most TICK_MS); the line is redrawn every
// TICKS_PER_DRAW ticks, at once after lines were passed on above it, and at once after a resize.
std::uint32_t status_thread(void *arg) {
    auto *line = static_cast<StatusLine *>(arg);
    line->reading_text.store(true, std::memory_order_release);
    if (!asked_to_end(*line)) line->text = read_cdrom_cdtext(line->ha_id, line->target, line->lun);
    line->reading_text.store(false, std::memory_order_release);
    Painter painter(*line);
    std::string captured;
    for (int tick = 0; !asked_to_end(*line); ++tick) {
        if (!line->capturing) platform::sleep_ms(TICK_MS);
        platform::read_captured_stderr(captured, TICK_MS);
        const bool passed_on = painter.pass_on(captured, false);
        if ((passed_on || tick % TICKS_PER_DRAW == 0 || painter.resized()) && !painter.draw()) break;
    }
    painter.clear();
    if (line->capturing) {
        platform::end_stderr_capture(captured);
        painter.pass_on(captured, true);
    }
    line->finished.store(true, std::memory_order_release);
    return 0;
}

}  // namespace

std::string minutes_seconds(std::int64_t sectors) {
    if (sectors < 0) sectors = 0;
    const std::int64_t seconds = sectors / SECTORS_PER_SECOND;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

std::string status_text(const CdromToc &toc, const CdTextTable &text, std::int32_t end_lba, std::int32_t heard,
                        std::size_t columns, int *track_index) {
    *track_index = track_index_at(toc, heard);
    return line_of_track(toc, text, end_lba, *track_index, heard, columns);
}

bool start_status_line(StatusLine *line) {
    line->finished.store(false, std::memory_order_relaxed);
    line->capturing = platform::begin_stderr_capture();
    if (platform::start_thread(&status_thread, line)) return true;
    if (line->capturing) {
        std::string rest;
        platform::end_stderr_capture(rest);
        platform::write_to_terminal(rest.data(), rest.size());
    }
    line->finished.store(true, std::memory_order_relaxed);
    return false;
}

void stop_status_line(StatusLine *line) {
    line->quit.store(true, std::memory_order_release);
    for (int step = 0; step < STOP_WAIT_STEPS && !line->finished.load(std::memory_order_acquire) &&
                       !line->reading_text.load(std::memory_order_acquire);
         ++step)
        platform::sleep_ms(std::chrono::milliseconds{10});
}

bool status_line_finished(const StatusLine *line) { return line->finished.load(std::memory_order_acquire); }
