// Playback benchmark: prints numbers, asserts nothing.
//  1. The program itself, playing the built-in disc into ALSA's file sink (unpaced): time from
//     start to the first audio byte, CPU seconds per second of audio, peak resident memory.
//  2. The playback driver with the real sector reader and our library, against a wave device that
//     plays in real time: how far ahead of the device the fetching stays.
//
//   playback_bench [runs] [seconds of real-time playback]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/paced_wave.h"
#include "cdrom/cdrom_types.h"
#include "playback/driver.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ProgramRun {
    double first_audio_ms = -1;
    double cpu_s = 0;
    long peak_kb = 0;
    double audio_s = 0;
};

off_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

ProgramRun run_program_once(const std::string &dir, const char *track) {
    const std::string capture = dir + "/bench.raw", conf = dir + "/bench-alsa.conf";
    unlink(capture.c_str());
    std::ofstream(conf) << "</usr/share/alsa/alsa.conf>\npcm.!default { type file slave.pcm \"null\" file \""
                        << capture << "\" format \"raw\" }\n";
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        setenv("CDDAPLAY_IMAGES", "builtin", 1);
        setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
        execl(CDDAPLAY_BIN_DIR "/cddaplay", "cddaplay", track, static_cast<char *>(nullptr));
        _exit(127);
    }
    ProgramRun r;
    int status = 0;
    rusage usage{};
    for (;;) {
        if (r.first_audio_ms < 0 && file_size(capture) > 0)
            r.first_audio_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (wait4(pid, &status, WNOHANG, &usage) == pid) break;
        usleep(200);
    }
    r.cpu_s = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
              usage.ru_stime.tv_usec / 1e6;
    r.peak_kb = usage.ru_maxrss;
    r.audio_s = static_cast<double>(file_size(capture)) / 176400.0;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const int paced_seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";

    // The whole disc, and its last track alone: the difference is what playing costs per second of
    // audio, without what starting up costs.
    std::vector<double> first, cpu_per_audio, marginal, peak;
    for (int i = 0; i < runs; ++i) {
        ProgramRun whole = run_program_once(dir, "-t1");
        ProgramRun last = run_program_once(dir, "-t3");
        first.push_back(whole.first_audio_ms);
        cpu_per_audio.push_back(whole.audio_s > 0 ? whole.cpu_s / whole.audio_s : 0);
        if (whole.audio_s > last.audio_s)
            marginal.push_back((whole.cpu_s - last.cpu_s) / (whole.audio_s - last.audio_s));
        peak.push_back(static_cast<double>(std::max(whole.peak_kb, last.peak_kb)));
        std::printf("run %d: first audio %.1f ms; CPU %.4f s for %.1f s of audio (%.4f s for %.1f s); peak %ld KiB\n",
                    i + 1, whole.first_audio_ms, whole.cpu_s, whole.audio_s, last.cpu_s, last.audio_s,
                    whole.peak_kb);
    }
    std::printf("program (median of %d runs):\n"
                "  first audio byte            %.1f ms after start\n"
                "  CPU per second of audio     %.3f %% of one core with start-up, %.3f %% while playing\n"
                "  peak resident memory        %.2f MB\n",
                runs, median(first), 100 * median(cpu_per_audio), 100 * median(marginal), median(peak) / 1024);

    // The driver against a real-time device, reading the built-in disc through our library.
    setenv("CDDAPLAY_IMAGES", "builtin", 1);
    static PlayRequest request;
    request.start_lba = 0;
    request.end_lba = paced_seconds * 75;
    std::printf("driver against a real-time device, %d s of the built-in disc...\n", paced_seconds);
    std::fflush(stdout);
    play_thread(&request);
    const PacedWaveStats s = paced_wave_stats();
    std::printf("fetching stays ahead of the device by %.0f ms at least, %.0f ms on average; %d underruns "
                "in %d buffers\n",
                s.min_ahead_ms, s.buffers > 1 ? s.sum_ahead_ms / (s.buffers - 1) : 0.0, s.underruns, s.buffers);
    return 0;
}
