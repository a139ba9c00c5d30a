#include "front/status_line.h"

#include <cstdio>

#include "common/messages.h"
#include "platform/platform.h"

namespace {

constexpr std::chrono::milliseconds TICK_MS{50};
constexpr int TICKS_PER_DRAW = 5;                 // a redraw every 250 ms
constexpr std::int32_t SECTORS_PER_SECOND = 75;
constexpr std::int64_t FRAMES_PER_SECTOR = 588;
// The line is cleared this close to the end of the range, before the driver prints "Finished."
// on the same terminal (a redraw is 19 sectors of sound apart).
constexpr std::int32_t END_MARGIN_SECTORS = 23;
constexpr std::size_t COLUMNS = 79;
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

int track_index_at(const CdromToc &toc, std::int32_t lba) {
    int index = 0;
    while (index + 1 < toc.track_count && lba >= toc.entries[index + 1].start_lba) ++index;
    return index;
}

// The line of track `index` with `heard` sectors of the range played; the time in the track stops
// at its length.
std::string line_of_track(const CdromToc &toc, const CdTextTable &text, std::int32_t end_lba, int index,
                          std::int32_t heard, std::size_t columns) {
    const std::int32_t start = toc.entries[index].start_lba;
    const std::int32_t length = toc.entries[index + 1].start_lba - start;
    const std::int32_t elapsed = heard - start < length ? heard - start : length;
    char head[96];
    std::snprintf(head, sizeof head, "Track %02d/%02d  %s / %s  [-%s]", index + 1, toc.track_count,
                  minutes_seconds(elapsed).c_str(), minutes_seconds(length).c_str(),
                  minutes_seconds(end_lba - heard).c_str());
    std::string out = head;
    const auto number = static_cast<std::size_t>(index + 1);
    const std::string names = number < text.entries.size() ? title_and_performer(text.entries[number]) : "";
    if (!names.empty()) out += "  " + names;
    return cut_to_columns(out, columns);
}

void put(const std::string &s) {
    std::fwrite(s.data(), 1, s.size(), stderr);
    std::fflush(stderr);
}

class Painter {
public:
    explicit Painter(const StatusLine &line) : line_(line) {}

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
        std::string text = status_text(*line_.toc, line_.text, player.end_lba, static_cast<std::int32_t>(heard),
                                       COLUMNS, &index);
        if (player.paused.load(std::memory_order_relaxed)) text += msg::status_paused;
        const std::int32_t runs = player.runs.load();
        if (drawn_index_ >= 0 && index != drawn_index_) {
            // The finished track's line stays in the scrollback, complete when it played to its end.
            if (runs == drawn_runs_)
                redraw(line_of_track(*line_.toc, line_.text, player.end_lba, drawn_index_,
                                     line_.toc->entries[drawn_index_ + 1].start_lba, COLUMNS));
            put("\n");
            width_ = 0;
        }
        redraw(text);
        drawn_index_ = index;
        drawn_runs_ = runs;
        return true;
    }

    void clear() {
        if (width_ > 0) put("\r" + std::string(width_, ' ') + "\r");
        width_ = 0;
    }

private:
    void redraw(const std::string &text) {
        const std::size_t width = columns_of(text);
        put("\r" + text + (width < width_ ? std::string(width_ - width, ' ') : std::string()));
        width_ = width;
    }

    const StatusLine &line_;
    int drawn_index_ = -1;
    std::int32_t drawn_runs_ = 0;
    std::size_t width_ = 0;
};

bool asked_to_end(const StatusLine &line) { return line.quit.load(std::memory_order_acquire); }

std::uint32_t status_thread(void *arg) {
    auto *line = static_cast<StatusLine *>(arg);
    line->reading_text.store(true, std::memory_order_release);
    if (!asked_to_end(*line)) line->text = read_cdrom_cdtext(line->ha_id, line->target, line->lun);
    line->reading_text.store(false, std::memory_order_release);
    Painter painter(*line);
    for (int tick = 0; !asked_to_end(*line); ++tick) {
        if (tick % TICKS_PER_DRAW == 0 && !painter.draw()) break;
        platform::sleep_ms(TICK_MS);
    }
    painter.clear();
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
    if (platform::start_thread(&status_thread, line)) return true;
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
