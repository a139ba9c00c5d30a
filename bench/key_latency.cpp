// Key latency: plays the built-in disc on a pseudo-terminal into the tests' real-time capture sink
// and prints, for each key, the time from the key to what the listener hears:
//   pause   - the sound stops (the capture stops growing)
//   resume  - the sound goes on
//   next    - the first frame of the next track is heard
//   q       - the program has exited
//   q stuck - the program has exited, pressed while a READ CD hangs (until its 10 s time-out)
// Usage: key_latency [runs]. Prints numbers; asserts nothing.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "passthru/image/builtin_disc.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace builtin = passthru::image::builtin;
constexpr long kSecondBytes = 176400;

struct Player {
    pid_t pid = -1;
    int terminal = -1;
    int out = -1;
    std::string capture;
};

long size_of(const std::string &path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 ? static_cast<long>(s.st_size) : 0;
}

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// Drains the terminal and standard output so the program never blocks on them; false at exit.
bool pump(Player &p, int wait_ms) {
    pollfd fds[2] = {{p.terminal, POLLIN, 0}, {p.out, POLLIN, 0}};
    poll(fds, 2, wait_ms);
    char buffer[4096];
    if (fds[0].revents) (void)!read(p.terminal, buffer, sizeof buffer);
    if (fds[1].revents && read(p.out, buffer, sizeof buffer) <= 0) return false;
    return true;
}

Player start(const std::string &faults) {
    Player p;
    p.capture = "/tmp/cddaplay-key-latency-" + std::to_string(getpid()) + ".raw";
    const std::string conf = p.capture + ".conf";
    std::remove(p.capture.c_str());
    std::ofstream(conf) << "pcm_type.cddaplay_paced { lib \"" CDDAPLAY_PACED_SINK "\" }\n"
                        << "pcm.!default { type cddaplay_paced file \"" << p.capture << "\" lenient yes }\n";
    int slave = -1, out[2];
    if (openpty(&p.terminal, &slave, nullptr, nullptr, nullptr) != 0 || pipe(out) != 0) std::exit(1);
    p.pid = fork();
    if (p.pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(out[1], 1);
        dup2(slave, 2);
        setenv("CDDAPLAY_IMAGES", "builtin", 1);
        setenv("CDDAPLAY_FAULTS", faults.c_str(), 1);
        setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
        execl(CDDAPLAY_BIN_DIR "/cddaplay", "cddaplay", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(slave);
    close(out[1]);
    p.out = out[0];
    return p;
}

void press(Player &p, const char *key) { (void)!write(p.terminal, key, std::strlen(key)); }

void wait_until_heard(Player &p, long bytes) {
    while (size_of(p.capture) < bytes && pump(p, 2)) {
    }
}

// From now until the capture stops growing (no growth for 300 ms): the time of its last growth.
double pause_latency(Player &p) {
    const auto t0 = Clock::now();
    press(p, " ");
    long size = size_of(p.capture);
    auto grew = Clock::now();
    while (ms_since(grew) < 300 && pump(p, 1)) {
        const long now = size_of(p.capture);
        if (now != size) size = now, grew = Clock::now();
    }
    return std::chrono::duration<double, std::milli>(grew - t0).count();
}

double resume_latency(Player &p) {
    const long size = size_of(p.capture);
    const auto t0 = Clock::now();
    press(p, " ");
    while (size_of(p.capture) == size && pump(p, 1)) {
    }
    return ms_since(t0);
}

// Until the first frame of sector `lba` is in the capture.
double next_latency(Player &p, std::int32_t lba) {
    std::uint8_t sector[2352];
    builtin::sector(lba, sector);
    const auto t0 = Clock::now();
    press(p, "n");
    long from = std::max(0L, size_of(p.capture) - 64);
    while (pump(p, 1)) {
        std::ifstream f(p.capture, std::ios::binary);
        f.seekg(from);
        const std::string tail{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        if (tail.find(std::string(reinterpret_cast<const char *>(sector), 64)) != std::string::npos) break;
    }
    return ms_since(t0);
}

double quit_latency(Player &p) {
    const auto t0 = Clock::now();
    press(p, "q");
    while (pump(p, 5)) {
    }
    const double ms = ms_since(t0);
    int status;
    waitpid(p.pid, &status, 0);
    close(p.terminal);
    close(p.out);
    std::remove(p.capture.c_str());
    std::remove((p.capture + ".conf").c_str());
    return ms;
}

void print(const char *name, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-8s median %7.1f ms  max %7.1f ms  (%zu runs)\n", name, ms[ms.size() / 2], ms.back(), ms.size());
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<double> paused, resumed, next, quit, quit_stuck;
    for (int i = 0; i < runs; ++i) {
        Player p = start("");
        wait_until_heard(p, 2 * kSecondBytes);
        paused.push_back(pause_latency(p));
        resumed.push_back(resume_latency(p));
        next.push_back(next_latency(p, builtin::kTrackStart[1]));
        wait_until_heard(p, size_of(p.capture) + kSecondBytes);
        quit.push_back(quit_latency(p));

        // Every READ CD from sector 300 on hangs: about 3 s in, the fetch is stuck.
        Player stuck = start("pending;hang_lba=300-2249");
        wait_until_heard(stuck, 4 * kSecondBytes);
        quit_stuck.push_back(quit_latency(stuck));
    }
    print("pause", paused);
    print("resume", resumed);
    print("next", next);
    print("q", quit);
    print("q stuck", quit_stuck);
    return 0;
}
