#include "front/status_line.h"

#include <cstdio>

#include "platform/platform.h"
#include "playback/wave_out.h"

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
    // The text is copied: the run may end, and the record's text be destroyed with the static
    // objects, while this thread still draws (stop_status_line waits only so long).
    explicit Painter(const StatusLine &line) : line_(line), text_(line.text) {}

    // Redraws for what has been heard; false once playing has ended.
    bool draw() {
        const std::int64_t frames = wave_frames_heard();
        // Nothing heard yet: the driver may still print its "now playing..." line. After the line has
        // been drawn, no device means playing is over.
        if (frames <= 0) return drawn_index_ < 0;
        const std::int64_t heard = line_.start_lba + frames / FRAMES_PER_SECTOR;
        if (heard >= line_.end_lba - END_MARGIN_SECTORS) return false;
        int index = 0;
        std::string text = status_text(*line_.toc, text_, line_.end_lba, static_cast<std::int32_t>(heard),
                                       COLUMNS, &index);
        if (drawn_index_ >= 0 && index != drawn_index_) {
            // The finished track's line stays in the scrollback, complete.
            redraw(line_of_track(*line_.toc, text_, line_.end_lba, drawn_index_,
                                 line_.toc->entries[drawn_index_ + 1].start_lba, COLUMNS));
            put("\n");
            width_ = 0;
        }
        redraw(text);
        drawn_index_ = index;
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
    const CdTextTable text_;
    int drawn_index_ = -1;
    std::size_t width_ = 0;
};

bool asked_to_end(const StatusLine &line) {
    return line.quit.load(std::memory_order_acquire) || line.request->stop.load(std::memory_order_relaxed) != 0;
}

std::uint32_t status_thread(void *arg) {
    auto *line = static_cast<StatusLine *>(arg);
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
    for (int step = 0; step < STOP_WAIT_STEPS && !line->finished.load(std::memory_order_acquire); ++step)
        platform::sleep_ms(std::chrono::milliseconds{10});
}
