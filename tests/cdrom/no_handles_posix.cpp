#include "tests/cdrom/no_handles.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace cdrom_test {
namespace {

rlimit g_saved;
std::vector<int> g_taken;  // descriptors held to fill every free slot under the lowered limit

}  // namespace

NoHandles::NoHandles() {
    constexpr rlim_t LIMIT = 256;  // far above what the test process holds, far below a usual limit
    if (getrlimit(RLIMIT_NOFILE, &g_saved) != 0 || g_saved.rlim_cur < LIMIT) return;
    rlimit lowered = g_saved;
    lowered.rlim_cur = LIMIT;
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) return;
    const int base = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (base >= 0) g_taken.push_back(base);
    for (int fd; base >= 0 && (fd = fcntl(base, F_DUPFD_CLOEXEC, 0)) >= 0;) g_taken.push_back(fd);
    in_force_ = base >= 0;
    if (!in_force_) setrlimit(RLIMIT_NOFILE, &g_saved);
}

NoHandles::~NoHandles() {
    for (int fd : g_taken) close(fd);
    g_taken.clear();
    if (in_force_) setrlimit(RLIMIT_NOFILE, &g_saved);
}

}  // namespace cdrom_test
