// Runs one program (standard input at end of file, standard output discarded) and prints, for
// bench/compare.sh, what it cost:
//   cpu_s=<user + system CPU seconds> peak_rss_kb=<largest resident set seen>
//   peak_private_kb=<largest private resident memory seen> maxrss_kb=<the kernel's peak>
// Memory is sampled from /proc/<pid>/smaps_rollup every 20 ms, so peaks shorter than that can be
// missed (maxrss_kb, the kernel's own peak, cannot; it has no private figure).
//
//   bench_measure program [arguments...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

struct Memory {
    long rss_kb = 0;
    long private_kb = 0;
};

Memory sample(pid_t pid) {
    Memory m;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long kb;
    std::string unit;
    while (in >> key) {
        if (key == "Rss:" || key == "Private_Clean:" || key == "Private_Dirty:") {
            in >> kb >> unit;
            if (key == "Rss:") m.rss_kb = kb;
            else m.private_kb += kb;
        } else {
            in.ignore(1 << 12, '\n');
        }
    }
    return m;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s program [arguments...]\n", argv[0]);
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    Memory peak;
    int status = 0;
    rusage usage{};
    for (;;) {
        const Memory now = sample(pid);
        peak.rss_kb = std::max(peak.rss_kb, now.rss_kb);
        peak.private_kb = std::max(peak.private_kb, now.private_kb);
        if (wait4(pid, &status, WNOHANG, &usage) == pid) break;
        usleep(20000);
    }
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
    std::printf("cpu_s=%.4f peak_rss_kb=%ld peak_private_kb=%ld maxrss_kb=%ld\n", cpu, peak.rss_kb,
                peak.private_kb, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
