// The program with its standard error on a terminal (a pseudo-terminal here): the status line.
// Sound goes to a real-time test sink (paced_sink.cpp) that appends each frame to a file as it is
// played, so the file's length at any moment is what a listener has heard.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "passthru/image/builtin_disc.h"

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
    int exit_status = -1;
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

// Runs `argv` with stderr on a pseudo-terminal and stdout on a pipe; presses ENTER once `capture`
// holds `enter_at` bytes and the terminal holds `enter_after` (waiting for what the program shows,
// never for a time, so a loaded machine only makes the run longer).
TerminalRun run_on_terminal(std::vector<std::string> argv, const std::vector<std::string> &env,
                            const fs::path &capture, std::size_t enter_at, const std::regex &enter_after) {
    TerminalRun run;
    signal(SIGPIPE, SIG_IGN);
    int master = -1, slave = -1, in[2], out[2];
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || pipe(in) || pipe(out)) return run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(slave, 2);
        for (int fd : {in[0], in[1], out[0], out[1], slave, master}) close(fd);
        std::vector<char *> args;
        for (auto &a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        for (auto &e : env) putenv(const_cast<char *>(e.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(slave);
    int out_fd = out[0];
    const auto deadline = Clock::now() + 60s;
    bool entered = false;
    while ((master >= 0 || out_fd >= 0) && Clock::now() < deadline) {
        pollfd fds[2] = {{master, POLLIN, 0}, {out_fd, POLLIN, 0}};
        poll(fds, 2, 5);
        const std::size_t before = run.terminal.size();
        read_some(master, fds[0].revents, &run.terminal, nullptr, 4096);
        read_some(out_fd, fds[1].revents, &run.out, nullptr, 4096);
        if (run.terminal.size() != before) run.marks.push_back({run.terminal.size(), bytes_in(capture)});
        if (!entered && (run.heard_at_enter = bytes_in(capture)) >= enter_at &&
            std::regex_search(run.terminal, enter_after)) {
            (void)!write(in[1], "\n", 1);
            entered = true;
        }
    }
    close(in[1]);
    for (int fd : {master, out_fd})
        if (fd >= 0) close(fd);
    int status = 0;
    pid_t reaped = 0;
    // Its terminal and output have closed: it is on its way out, slowly on a loaded machine.
    for (int i = 0; i < 6000 && (reaped = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(10000);
    if (reaped != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.exit_status = WEXITSTATUS(status);
    }
    run.heard = file_bytes(capture);
    return run;
}

std::vector<std::uint8_t> disc(std::int32_t from, std::int32_t to) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(to - from) * 2352);
    for (std::int32_t lba = from; lba < to; ++lba) builtin::sector(lba, out.data() + (lba - from) * 2352);
    return out;
}

TEST(Terminal, StatusLineFollowsWhatHasBeenHeard) {
    if (std::getenv("CDDAPLAY_E2E_WIN64_BUILD")) GTEST_SKIP() << "native program only";
    const fs::path dir = fs::temp_directory_path() / ("cddaplay-terminal-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path capture = dir / "heard.raw";
    std::ofstream(dir / "capture.conf") << "pcm_type.cddaplay_paced { lib \"" CDDAPLAY_PACED_SINK "\" }\n"
                                        << "pcm.!default { type cddaplay_paced file \"" << capture.string() << "\" }\n";

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

}  // namespace
