// The program with its standard error on a terminal (a pseudo-terminal here): the status line;
// with its standard input on the terminal too: the keys.
// Sound goes to a real-time test sink (tests/support/paced_sink.cpp) that appends each frame to a
// file as it is played, so the file's length at any moment is what a listener has heard.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

#include "passthru/image/builtin_disc.h"
#include "tests/e2e/program_run.h"

namespace {

namespace fs = std::filesystem;
namespace builtin = passthru::image::builtin;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kBytesPerSecond = 176400.0;

// What the listener had taken by the time the terminal had received `terminal_bytes`.
struct Mark {
    std::size_t terminal_bytes;
    std::size_t heard_bytes;
};

struct TerminalRun {
    std::string terminal;             // everything written to standard error (the terminal)
    std::string out;                  // standard output (a pipe)
    std::vector<std::uint8_t> heard;  // the audio, in the order the listener took it
    std::size_t heard_at_enter = 0;   // bytes the listener had taken when ENTER was pressed
    std::vector<Mark> marks;          // one per read from the terminal
    std::vector<std::size_t> heard_at_press;  // the bytes heard at each press, in order
    double seconds_after_last_press = -1;     // from the last press to the end of standard output
    int exit_status = -1;
};

// Keys typed when the listener has heard `heard` bytes (0: no such condition), standard output
// holds `output`, and `seconds` have passed since the previous press (or the start).
struct Press {
    std::size_t heard = 0;
    std::string output;
    double seconds = 0;
    std::string keys;
};

// The terminal's text with its control characters visible, for failure messages.
std::string shown(const std::string &terminal) {
    std::string out;
    for (char c : terminal) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n\n";
        else out += c;
    }
    return out;
}

// Everything a failure needs to be understood: the exit status, standard output and the terminal
// (standard error: a sanitizer's report lands there).
std::string described(const TerminalRun &r) {
    return "exit status " + std::to_string(r.exit_status) + "\nstandard output:\n" + r.out +
           "\nterminal (standard error):\n" + shown(r.terminal);
}

// The heard bytes when the terminal had received its first `terminal_bytes` bytes.
std::size_t heard_when_received(const TerminalRun &r, std::size_t terminal_bytes) {
    for (const Mark &m : r.marks)
        if (m.terminal_bytes >= terminal_bytes) return m.heard_bytes;
    return r.heard.size();
}

void read_some(int &fd, short revents, std::string *text, std::vector<std::uint8_t> *bytes, std::size_t limit) {
    if (fd < 0 || limit == 0 || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, std::min(limit, sizeof buffer));
    if (n > 0) {
        if (text) text->append(buffer, static_cast<std::size_t>(n));
        if (bytes) bytes->insert(bytes->end(), buffer, buffer + n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(fd);  // end of file, or EIO once the terminal's last user has gone
        fd = -1;
    }
}

std::size_t bytes_in(const fs::path &path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<std::size_t>(size);
}

std::vector<std::uint8_t> file_bytes(const fs::path &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The program's exit status once it has ended (-1 when killed, or when it had to be, after a minute).
int exit_status_of(pid_t pid) {
    int status = 0;
    pid_t reaped = 0;
    // Its terminal and output have closed: it is on its way out, slowly on a loaded machine.
    for (int i = 0; i < 6000 && (reaped = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(10000);
    if (reaped != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The program started with standard error on a new pseudo-terminal, standard output on a pipe,
// and standard input on the terminal (`stdin_on_terminal`) or on a pipe; `env` is added to its
// environment. `controlling`: the terminal is its controlling terminal (a typed Ctrl+C is a SIGINT).
// The caller owns the three descriptors; pid is -1 when nothing could be started.
struct Started {
    pid_t pid = -1;
    int master = -1;  // the terminal's controlling side
    int in = -1;      // writes to standard input's pipe
    int out = -1;     // reads standard output's pipe
};

Started start_on_terminal(std::vector<std::string> argv, const std::vector<std::string> &env, bool controlling,
                          bool stdin_on_terminal, const winsize *size) {
    Started started;
    signal(SIGPIPE, SIG_IGN);
    int master = -1, slave = -1, in[2], out[2];
    if (openpty(&master, &slave, nullptr, nullptr, size) != 0 || pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC))
        return started;
    for (int fd : {master, slave}) fcntl(fd, F_SETFD, FD_CLOEXEC);
    std::map<std::string, std::string> added;
    for (const std::string &e : env) {
        const auto eq = e.find('=');
        added[e.substr(0, eq)] = eq == std::string::npos ? std::string() : e.substr(eq + 1);
    }
    const pid_t pid =
        start_program(argv, added, {stdin_on_terminal ? slave : in[0], out[1], slave, controlling ? slave : -1});
    close(in[0]);
    close(out[1]);
    close(slave);
    return {pid, master, in[1], out[0]};
}

// Something the test does to the terminal while the program plays, once `when` says so (it is
// given the terminal's output so far and the bytes the listener has taken); `master` is the
// pseudo-terminal's controlling side.
struct TerminalEvent {
    std::function<bool(const std::string &terminal, std::size_t heard)> when;
    std::function<void(int master)> action;
};

// Runs `argv` with stderr on a pseudo-terminal of `columns` columns and stdout on a pipe; presses
// ENTER once `capture` holds `enter_at` bytes and the terminal holds `enter_after` (waiting for what
// the program shows, never for a time, so a loaded machine only makes the run longer).
TerminalRun run_on_terminal(std::vector<std::string> argv, const std::vector<std::string> &env,
                            const fs::path &capture, std::size_t enter_at, const std::regex &enter_after,
                            std::vector<TerminalEvent> events = {}, unsigned short columns = 80) {
    TerminalRun run;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    const Started started = start_on_terminal(std::move(argv), env, false, false, &size);
    if (started.pid < 0) return run;
    const pid_t pid = started.pid;
    int master = started.master, out_fd = started.out;
    const int in = started.in;
    const auto deadline = Clock::now() + 60s;
    const int control = dup(master);  // resizes still reach the terminal after its output has ended
    bool entered = false;
    while ((master >= 0 || out_fd >= 0) && Clock::now() < deadline) {
        for (TerminalEvent &e : events)
            if (e.action && e.when(run.terminal, bytes_in(capture))) {
                e.action(control);
                e.action = nullptr;
            }
        pollfd fds[2] = {{master, POLLIN, 0}, {out_fd, POLLIN, 0}};
        poll(fds, 2, 5);
        const std::size_t before = run.terminal.size();
        read_some(master, fds[0].revents, &run.terminal, nullptr, 4096);
        read_some(out_fd, fds[1].revents, &run.out, nullptr, 4096);
        if (run.terminal.size() != before) run.marks.push_back({run.terminal.size(), bytes_in(capture)});
        if (!entered && (run.heard_at_enter = bytes_in(capture)) >= enter_at &&
            std::regex_search(run.terminal, enter_after)) {
            (void)!write(in, "\n", 1);
            entered = true;
        }
    }
    close(in);
    for (int fd : {master, out_fd, control})
        if (fd >= 0) close(fd);
    run.exit_status = exit_status_of(pid);
    run.heard = file_bytes(capture);
    return run;
}

// Runs `argv` with stderr on a pseudo-terminal (its controlling terminal, so a typed Ctrl+C is a
// SIGINT), stdout on a pipe, and stdin on the terminal (`keys_on_terminal`: the presses are typed
// there) or on a pipe; types the presses in order.
TerminalRun run_with_presses(std::vector<std::string> argv, const std::vector<std::string> &env,
                             const fs::path &capture, std::vector<Press> presses, bool keys_on_terminal) {
    TerminalRun run;
    const Started started = start_on_terminal(std::move(argv), env, true, keys_on_terminal, nullptr);
    if (started.pid < 0) return run;
    const pid_t pid = started.pid;
    int master = started.master, out_fd = started.out;
    const int in = started.in;
    const int keys_fd = keys_on_terminal ? master : in;
    const auto deadline = Clock::now() + 90s;
    auto last_press = Clock::now();
    std::size_t next = 0;
    while ((master >= 0 || out_fd >= 0) && Clock::now() < deadline) {
        pollfd fds[2] = {{master, POLLIN, 0}, {out_fd, POLLIN, 0}};
        poll(fds, 2, 5);
        read_some(master, fds[0].revents, &run.terminal, nullptr, 4096);
        read_some(out_fd, fds[1].revents, &run.out, nullptr, 4096);
        if (out_fd < 0 && run.seconds_after_last_press < 0 && next > 0)
            run.seconds_after_last_press = std::chrono::duration<double>(Clock::now() - last_press).count();
        if (next == presses.size() || keys_fd < 0) continue;
        const Press &press = presses[next];
        const std::size_t heard = bytes_in(capture);
        if (heard < press.heard || run.out.find(press.output) == std::string::npos ||
            Clock::now() - last_press < std::chrono::duration<double>(press.seconds))
            continue;
        (void)!write(keys_fd, press.keys.data(), press.keys.size());
        run.heard_at_press.push_back(heard);
        last_press = Clock::now();
        ++next;
    }
    if (!run.heard_at_press.empty()) run.heard_at_enter = run.heard_at_press.back();
    close(in);
    for (int fd : {master, out_fd})
        if (fd >= 0) close(fd);
    run.exit_status = exit_status_of(pid);
    run.heard = file_bytes(capture);
    return run;
}

std::vector<std::uint8_t> disc(std::int32_t from, std::int32_t to) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(to - from) * 2352);
    for (std::int32_t lba = from; lba < to; ++lba) builtin::sector(lba, out.data() + (lba - from) * 2352);
    return out;
}

// A fresh folder for one test, with the ALSA configuration that sends sound to the paced sink,
// which writes what it plays to heard.raw there.
fs::path paced_sink_dir(const std::string &name) {
    const fs::path dir = fs::temp_directory_path() / ("cddaplay-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "capture.conf") << "pcm_type.cddaplay_paced { lib \"" CDDAPLAY_PACED_SINK "\" }\n"
                                        << "pcm.!default { type cddaplay_paced file \"" << (dir / "heard.raw").string()
                                        << "\" lenient yes }\n";
    return dir;
}

TEST(Terminal, StatusLineFollowsWhatHasBeenHeard) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const fs::path dir = paced_sink_dir("terminal");
    const fs::path capture = dir / "heard.raw";

    // From track 2; ENTER once 3.5 s of it have been heard and the line has shown its third second.
    constexpr double kEnterSeconds = 3.5;
    const auto enter_at = static_cast<std::size_t>(kEnterSeconds * kBytesPerSecond);
    const std::regex line(R"(\rTrack (\d\d)/03  (\d+):(\d\d) / 0:08  \[-0:(\d\d)\])");
    const TerminalRun r = run_on_terminal(
        {CDDAPLAY_BIN_DIR "/cddaplay", "-t2"},
        {"CDDAPLAY_IMAGES=builtin", "CDDAPLAY_FAULTS=", "ALSA_CONFIG_PATH=" + (dir / "capture.conf").string()}, capture,
        enter_at, std::regex(R"(\rTrack 02/03  0:0[3-8] )"));
    SCOPED_TRACE(described(r));

    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "cdrom_device is 0/1 now.\nstart 2/3 cdrom_track.\nnow playing...\nFinished.\n")
        << "standard output keeps exactly its lines";
    // What was heard is track 2 from its start, bit for bit.
    ASSERT_GE(r.heard.size(), r.heard_at_enter);
    ASSERT_GE(r.heard_at_enter, enter_at);
    const auto expected = disc(builtin::kTrackStart[1], builtin::kLeadOut);
    ASSERT_TRUE(std::equal(r.heard.begin(), r.heard.begin() + static_cast<std::ptrdiff_t>(r.heard_at_enter),
                           expected.begin()))
        << "the listener heard something other than track 2";

    // Every line shows a time already heard when the terminal received it (whole seconds, cut
    // down): the line follows the sound, never what has only been fetched or queued. The times
    // never go back.
    std::string last_track;
    int last_seconds = -1, lines = 0;
    for (auto it = std::sregex_iterator(r.terminal.begin(), r.terminal.end(), line); it != std::sregex_iterator(); ++it) {
        const int seconds = std::stoi((*it)[2]) * 60 + std::stoi((*it)[3]);
        const auto received = static_cast<std::size_t>(it->position() + it->length());
        EXPECT_LE(seconds * kBytesPerSecond, static_cast<double>(heard_when_received(r, received)))
            << "line " << lines << " shows " << seconds << " s";
        EXPECT_GE(seconds, last_seconds) << "line " << lines;
        last_track = (*it)[1];
        last_seconds = seconds;
        ++lines;
    }
    ASSERT_GT(lines, 0) << "no status line on the terminal";
    EXPECT_EQ(last_track, "02");
    EXPECT_GE(last_seconds, 3) << "ENTER came after the line had shown its third second";
    // Cleared at the end: the terminal's last output blanks the line and returns to its start.
    ASSERT_FALSE(r.terminal.empty());
    EXPECT_EQ(r.terminal.back(), '\r');
    EXPECT_EQ(r.terminal.find("Finished"), std::string::npos) << "standard output stays off the terminal";
    fs::remove_all(dir);
}

// The terminal as a listener sees it: each line of text that ended with a newline, as it stood on
// the screen then (carriage returns overwrite from the left, trailing blanks dropped).
std::vector<std::string> screen_lines(const std::string &output) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t column = 0;
    for (char c : output) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            while (!line.empty() && line.back() == ' ') line.pop_back();
            lines.push_back(line);
            line.clear();
            column = 0;
        } else {
            if (column < line.size()) line[column] = c;
            else line.push_back(c);
            ++column;
        }
    }
    return lines;
}

// Every stretch of text written after a carriage return or newline: a redraw of the status line,
// or a line of its own; with where it starts in the output.
struct DrawnText {
    std::size_t at;
    std::string text;
};
std::vector<DrawnText> stretches(const std::string &output) {
    std::vector<DrawnText> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= output.size(); ++i) {
        if (i < output.size() && output[i] != '\r' && output[i] != '\n') continue;
        if (i > start) out.push_back({start, output.substr(start, i - start)});
        start = i + 1;
    }
    return out;
}

TEST(Terminal, StatusLineFitsANarrowTerminalFollowsAResizeAndMakesRoomForMessages) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const fs::path dir = paced_sink_dir("narrow");
    const fs::path capture = dir / "heard.raw";
    // Three tracks of 4 s whose titles are far too long for 50 columns.
    constexpr std::int32_t kTrackSectors = 4 * 75;
    const auto bin = disc(0, 3 * kTrackSectors);
    std::ofstream(dir / "album.bin", std::ios::binary).write(reinterpret_cast<const char *>(bin.data()),
                                                              static_cast<std::streamsize>(bin.size()));
    std::ofstream sheet(dir / "album.cue");
    sheet << "FILE \"album.bin\" BINARY\n";
    for (int t = 1; t <= 3; ++t)
        sheet << "  TRACK 0" << t << " AUDIO\n    TITLE \"Song number " << t
              << " with a title far too long for any narrow terminal\"\n    PERFORMER \"Band\"\n    INDEX 01 00:0"
              << (t - 1) * 4 << ":00\n";
    sheet.close();

    // 1 s in, the terminal becomes 40 columns wide; 2 s in, the image file loses its third track, so
    // the library writes its own line on standard error when the reads get there (about 6 s in).
    std::size_t resized_at = std::string::npos;
    std::vector<TerminalEvent> events{
        {[&](const std::string &terminal, std::size_t heard) {
             if (heard < kBytesPerSecond) return false;
             resized_at = terminal.size();
             return true;
         },
         [](int master) {
             winsize narrow{};
             narrow.ws_row = 24;
             narrow.ws_col = 40;
             ioctl(master, TIOCSWINSZ, &narrow);
         }},
        {[](const std::string &, std::size_t heard) { return heard >= 2 * kBytesPerSecond; },
         [&](int) { fs::resize_file(dir / "album.bin", 2 * kTrackSectors * 2352); }},
    };
    const TerminalRun r = run_on_terminal(
        {CDDAPLAY_BIN_DIR "/cddaplay", (dir / "album.cue").string()},
        {"CDDAPLAY_FAULTS=", "ALSA_CONFIG_PATH=" + (dir / "capture.conf").string()}, capture,
        static_cast<std::size_t>(9.5 * kBytesPerSecond), std::regex(""), events, 50);

    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "cdrom_device is 0/1 now.\nstart 1/3 cdrom_track.\nnow playing...\nFinished.\n");
    EXPECT_EQ(r.terminal.find("Sanitizer"), std::string::npos) << r.terminal;
    ASSERT_NE(resized_at, std::string::npos);

    // The status line never reaches the last column of 50, so it never wraps; the title is
    // shortened. (A message may be longer than the terminal: it wraps, as any line does.)
    auto drawn = stretches(r.terminal);
    drawn.erase(std::remove_if(drawn.begin(), drawn.end(), [](const DrawnText &s) { return s.text.rfind("Track ", 0) != 0; }),
                drawn.end());
    std::size_t status_lines = 0;
    for (const DrawnText &s : drawn) {
        EXPECT_LT(s.text.size(), 50u) << s.text;
        ++status_lines;
        if (s.at < resized_at) {
            EXPECT_EQ(s.text.substr(s.text.size() - 3), "...") << "the title is shortened: " << s.text;
        }
    }
    ASSERT_GT(status_lines, 4u) << r.terminal;
    // Once the line has been drawn for 40 columns, it stays within 39.
    const auto narrow = std::find_if(drawn.begin(), drawn.end(), [&](const DrawnText &s) {
        return s.at > resized_at && s.text.size() < 40;
    });
    ASSERT_NE(narrow, drawn.end()) << "the line never followed the resize: " << r.terminal;
    for (auto s = narrow; s != drawn.end(); ++s) EXPECT_LT(s->text.size(), 40u) << s->text;

    // The library's line stands on a line of its own, and the status line comes back below it.
    const auto lines = screen_lines(r.terminal);
    const auto message = std::find_if(lines.begin(), lines.end(),
                                      [](const std::string &l) { return l.find("album.bin") != std::string::npos; });
    ASSERT_NE(message, lines.end()) << "no line about the shortened file: " << r.terminal;
    EXPECT_EQ(message->find("Track "), std::string::npos) << *message;
    EXPECT_TRUE(message->rfind("wnaspi32: ", 0) == 0 || message->rfind("cddaplay: ", 0) == 0) << *message;
    const std::size_t message_end = r.terminal.find('\n', r.terminal.find("album.bin"));
    EXPECT_NE(r.terminal.find("\rTrack ", message_end), std::string::npos) << "no status line after the message";
    fs::remove_all(dir);
}

// ---- Keys -----------------------------------------------------------------------------------

constexpr std::size_t kSectorBytes = 2352;
constexpr std::size_t kFrameBytes = 4;
constexpr std::size_t kSecond = 176400;

// One stretch of what was heard that is the disc's audio without a break: from the first frame of
// sector `lba` on, `frames` long.
struct Stretch {
    std::int32_t lba;
    std::size_t frames;
};

// What was heard, cut into stretches of the disc. Every sector of the built-in disc differs from
// every other, so the sector a stretch starts with is found by its bytes. Empty when some part of
// what was heard is no sector's audio, or a stretch does not start at a sector's first frame.
std::vector<Stretch> stretches_of(const std::vector<std::uint8_t> &heard) {
    static const std::vector<std::uint8_t> whole = disc(0, builtin::kLeadOut);
    static const auto sectors = [] {
        std::unordered_map<std::string, std::int32_t> by_bytes;
        for (std::int32_t lba = 0; lba < builtin::kLeadOut; ++lba)
            by_bytes.emplace(std::string(reinterpret_cast<const char *>(whole.data()) + lba * kSectorBytes, 64), lba);
        return by_bytes;
    }();
    std::vector<Stretch> out;
    std::size_t at = 0;  // bytes of `heard` accounted for
    while (at + kFrameBytes <= heard.size()) {
        // Every stretch starts with a sector's first frame: the range's start, or a jump's target.
        const std::size_t left = heard.size() - at;
        const auto found = left >= 64 ? sectors.find(std::string(reinterpret_cast<const char *>(heard.data()) + at, 64))
                                      : sectors.end();
        if (found == sectors.end()) return {};
        Stretch s{found->second, 0};
        std::size_t from = static_cast<std::size_t>(s.lba) * kSectorBytes;
        std::size_t n = 0;
        while (at + n < heard.size() && from + n < whole.size() && heard[at + n] == whole[from + n]) ++n;
        n -= n % kFrameBytes;
        // After a jump the next stretch may start a few frames back, where a sector's start matches
        // by chance. Where the recording simply ends there is no next stretch: frames 400-415 of a
        // sector of track 1 or 3 repeat its first 16 frames (tone and marks alike), and a recording
        // that ends there must not be cut into a stretch of its own.
        const bool ended = at + n + kFrameBytes > heard.size();
        std::size_t cut = n;
        for (std::size_t back = 0; !ended && back <= 16 * kFrameBytes && back <= n; back += kFrameBytes) {
            if (at + n - back + 64 <= heard.size() &&
                sectors.count(std::string(reinterpret_cast<const char *>(heard.data()) + at + n - back, 64))) {
                cut = n - back;
                break;
            }
        }
        if (cut == 0) return {};
        s.frames = cut / kFrameBytes;
        out.push_back(s);
        at += cut;
    }
    return out;
}

std::string describe(const std::vector<Stretch> &stretches) {
    std::string text;
    for (const Stretch &s : stretches)
        text += "[LBA " + std::to_string(s.lba) + ", " + std::to_string(s.frames) + " frames] ";
    return text;
}

// A recording that ends 416 frames into a sector of track 1, where the sector's frames 400-415
// look like its start, is still one stretch.
TEST(Keys, HeardAudioEndingWhereASectorStartRepeatsIsOneStretch) {
    const auto heard = disc(300, 303);
    const std::vector<std::uint8_t> cut(heard.begin(), heard.end() - (588 - 416) * kFrameBytes);
    const auto stretches = stretches_of(cut);
    ASSERT_EQ(stretches.size(), 1u) << describe(stretches);
    EXPECT_EQ(stretches[0].lba, 300);
    EXPECT_EQ(stretches[0].frames, 2 * 588u + 416);
}

// A run of the program on the built-in disc with its keys on a pseudo-terminal.
struct KeysRun : TerminalRun {
    std::vector<Stretch> stretches;
};

KeysRun run_keys(std::vector<std::string> args, std::vector<Press> presses, std::string faults = "",
                 bool keys_on_terminal = true) {
    const fs::path dir = paced_sink_dir("keys");
    const fs::path capture = dir / "heard.raw";
    args.insert(args.begin(), CDDAPLAY_BIN_DIR "/cddaplay");
    KeysRun run;
    static_cast<TerminalRun &>(run) =
        run_with_presses(args,
                         {"CDDAPLAY_IMAGES=builtin", "CDDAPLAY_FAULTS=" + faults,
                          "ALSA_CONFIG_PATH=" + (dir / "capture.conf").string()},
                         capture, std::move(presses), keys_on_terminal);
    run.stretches = stretches_of(run.heard);
    fs::remove_all(dir);
    return run;
}

const std::string kStartTrack1 = "cdrom_device is 0/1 now.\nstart 1/3 cdrom_track.\nnow playing...\n";
const std::string kPlayedTrack1 = kStartTrack1 + "Finished.\n";

// ENTER is noticed at once while the status line's thread waits for the disc's CD-Text (the drive
// takes 3 s for every command here, so the two CD-Text commands alone take 6 s).
TEST(Keys, EnterStopsWhileTheCdTextIsRead) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({"-t2"}, {{0, "now playing...", 0.5, "\n"}}, "latency=3000");
    EXPECT_EQ(r.exit_status, 0) << r.terminal;
    ASSERT_EQ(r.heard_at_press.size(), 1u) << r.out;
    // The grace is a second; twice that and more leaves room for a loaded machine, and is still far
    // below the 5 s that the CD-Text would hold a stop back.
    EXPECT_LT(r.seconds_after_last_press, 3.0) << r.out;
}

// Space pauses for a second and resumes; the listener hears the disc without a break or a repeat.
TEST(Keys, PauseResumesAtTheSampleWhereTheSoundStopped) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({}, {{kSecond, "", 0, " "}, {0, "", 1.0, " "}, {4 * kSecond, "", 0, "q"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kPlayedTrack1);
    ASSERT_EQ(r.stretches.size(), 1u) << describe(r.stretches);
    EXPECT_EQ(r.stretches[0].lba, 0);
    EXPECT_GE(r.stretches[0].frames * kFrameBytes, 4 * kSecond);
    EXPECT_NE(r.terminal.find("paused"), std::string::npos) << "the status line says it is paused";
    EXPECT_EQ(r.terminal.back(), '\r') << "the line is cleared at the end";
}

// n twice, typed together, goes to track 3 (the second n counts from where the first one went,
// before anything of track 2 is heard), then q.
TEST(Keys, NextTwiceJumpsToTrackThreeExactly) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({}, {{kSecond, "", 0, "nn"}, {kSecond * 5 / 2, "", 0, "q"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kPlayedTrack1) << "one start line, one Finished.";
    ASSERT_EQ(r.stretches.size(), 2u) << describe(r.stretches);
    EXPECT_EQ(r.stretches[0].lba, 0);
    EXPECT_EQ(r.stretches[1].lba, builtin::kTrackStart[2]) << describe(r.stretches);
    EXPECT_EQ(r.terminal.find('n'), std::string::npos) << "keys are not echoed: " << r.terminal;
}

// n, then p part-way into track 2 goes back to its start; p again within 3 s goes to track 1.
// Each key waits for a second more of sound, however long a jump takes to be heard.
TEST(Keys, PreviousGoesToTheTrackStartThenTheTrackBefore) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({}, {{kSecond / 2, "", 0, "n"},
                                    {kSecond * 9 / 2, "", 0, "p"},
                                    {kSecond * 11 / 2, "", 0, "p"},
                                    {kSecond * 13 / 2, "", 0, "q"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kPlayedTrack1);
    ASSERT_EQ(r.stretches.size(), 4u) << describe(r.stretches);
    EXPECT_EQ(r.stretches[0].lba, builtin::kTrackStart[0]);
    EXPECT_EQ(r.stretches[1].lba, builtin::kTrackStart[1]);
    EXPECT_GE(r.stretches[1].frames, 3u * 44100) << "p came more than 3 s into track 2";
    EXPECT_EQ(r.stretches[2].lba, builtin::kTrackStart[1]);
    EXPECT_LT(r.stretches[2].frames, 3u * 44100) << "p came within 3 s of track 2";
    EXPECT_EQ(r.stretches[3].lba, builtin::kTrackStart[0]);
}

// Right arrow: 10 s forward from where the listener is, to a sector; left arrow: 10 s back.
TEST(Keys, ArrowsSeekTenSecondsWithinTheRange) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({}, {{2 * kSecond, "", 0, "\x1b[C"}, {3 * kSecond, "", 0, "\x1b[D"}, {4 * kSecond, "", 0, "q"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kPlayedTrack1);
    ASSERT_EQ(r.stretches.size(), 3u) << describe(r.stretches);
    // Each seek starts a sector's first frame, 750 sectors from the sector nearest to where the
    // sound was cut: the frame the listener had heard when the sound stopped, not a moment before.
    const auto nearest_sector = [](std::size_t frame) { return static_cast<std::int32_t>((frame + 294) / 588); };
    EXPECT_EQ(r.stretches[1].lba, nearest_sector(r.stretches[0].frames) + 750) << describe(r.stretches);
    const std::size_t cut2 = static_cast<std::size_t>(r.stretches[1].lba) * 588 + r.stretches[1].frames;
    EXPECT_EQ(r.stretches[2].lba, nearest_sector(cut2) - 750) << describe(r.stretches);
}

// -t2 -n1 plays track 2 alone, to its last sample.
TEST(Keys, OneTrackEndsExactlyAtItsEnd) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({"-t2", "-n1"}, {{0, "Finished.", 0, "\n"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "cdrom_device is 0/1 now.\nstart 2/3 cdrom_track.\nnow playing...\nFinished.\n");
    EXPECT_TRUE(r.heard == disc(builtin::kTrackStart[1], builtin::kTrackStart[2])) << describe(r.stretches);
}

// -r over the wrap: track 3 then track 3 again, without a gap (-t3 -n1 -r).
TEST(Keys, RepeatWrapsGaplessly) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({"-t3", "-r"}, {{14 * kSecond, "", 0, "q"}});
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_EQ(r.stretches.size(), 2u) << describe(r.stretches);
    EXPECT_EQ(r.stretches[0].lba, builtin::kTrackStart[2]);
    EXPECT_EQ(r.stretches[0].frames, static_cast<std::size_t>(builtin::kLeadOut - builtin::kTrackStart[2]) * 588);
    EXPECT_EQ(r.stretches[1].lba, builtin::kTrackStart[2]);
}

// Ctrl+C ends as q does: the drive's speed is set back, the line cleared, exit status 130.
TEST(Keys, CtrlCEndsLikeQWithStatus130) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const fs::path trace = fs::temp_directory_path() / ("cddaplay-keys-trace-" + std::to_string(getpid()));
    fs::remove(trace);
    const KeysRun r = run_keys({"-s4"}, {{2 * kSecond, "", 0, "\x03"}}, "trace=" + trace.string());
    EXPECT_EQ(r.exit_status, 130);
    EXPECT_EQ(r.out, kPlayedTrack1);
    ASSERT_EQ(r.stretches.size(), 1u) << describe(r.stretches);
    std::ifstream f(trace);
    std::string line, last_speed;
    while (std::getline(f, line))
        if (line.find(": BB ") != std::string::npos) last_speed = line;
    EXPECT_EQ(last_speed, "unit 0: BB 00 FF FF FF FF 00 00 00 00 00 00") << "the drive is left at its fastest";
    EXPECT_EQ(r.terminal.back(), '\r') << "the line is cleared";
    fs::remove(trace);
}

// Ctrl+Z gives the shell its terminal back as it was (echo, whole lines) while the player is
// stopped; fg continues it with its keys, where the sound was.
TEST(Keys, CtrlZGivesTheShellItsTerminalAndFgGivesThePlayerItsKeys) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const fs::path dir = paced_sink_dir("stop");
    const fs::path at_stop = dir / "stty.txt";
    // A shell with job control, as the listener's: the player is its foreground job; once it has
    // stopped, the shell writes down the terminal's settings and continues it.
    const std::string script = "set -m; \"$@\"; stty -a > '" + at_stop.string() + "'; fg > /dev/null";
    const TerminalRun r = run_with_presses(
        {"/bin/bash", "-c", script, "bash", CDDAPLAY_BIN_DIR "/cddaplay"},
        {"CDDAPLAY_IMAGES=builtin", "CDDAPLAY_FAULTS=", "ALSA_CONFIG_PATH=" + (dir / "capture.conf").string()},
        dir / "heard.raw", {{kSecond, "", 0, "\x1a"}, {2 * kSecond, "", 1.0, "q"}}, true);
    std::ifstream f(at_stop);
    const std::string settings{std::istreambuf_iterator<char>(f), {}};
    fs::remove_all(dir);
    EXPECT_TRUE(std::regex_search(settings, std::regex("(^|\\s)icanon(\\s|;|$)"))) << settings;
    EXPECT_TRUE(std::regex_search(settings, std::regex("(^|\\s)echo(\\s|;|$)"))) << settings;
    EXPECT_EQ(r.exit_status, 0) << r.terminal;
    EXPECT_EQ(r.out, kPlayedTrack1) << r.terminal;
    const std::vector<Stretch> heard = stretches_of(r.heard);
    ASSERT_EQ(heard.size(), 1u) << describe(heard);
    EXPECT_EQ(heard[0].lba, 0);
    EXPECT_LT(heard[0].frames * kFrameBytes, 8 * kSecond) << "q, typed after fg, stopped the playback";
}

// With standard input a pipe the keys mean nothing: one character stops, as ENTER does.
TEST(Keys, PipedInputStopsAtAnyCharacter) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const KeysRun r = run_keys({}, {{kSecond, "", 0, "n"}}, "", false);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kPlayedTrack1);
    ASSERT_EQ(r.stretches.size(), 1u) << describe(r.stretches);
    EXPECT_EQ(r.stretches[0].lba, 0);
    EXPECT_LT(r.stretches[0].frames * kFrameBytes, 8 * kSecond) << "n stopped the playback";
}

}  // namespace
