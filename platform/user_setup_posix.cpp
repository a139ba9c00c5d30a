// POSIX: setenv; the CD-ROM device nodes /dev/sr<N> with access(2). (/dev/sg<N> nodes are left
// alone: most of them are disks.)
#include "platform/user_setup.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

bool is_drive_node(const char *name) {
    if (std::strncmp(name, "sr", 2) != 0) return false;
    if (name[2] == '\0') return false;
    for (const char *c = name + 2; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

}  // namespace

bool set_environment(const char *name, const char *value) { return setenv(name, value, 1) == 0; }

BlockedDrive blocked_drive() {
    BlockedDrive blocked;
    DIR *dev = opendir("/dev");
    if (!dev) return blocked;
    while (const dirent *entry = readdir(dev)) {
        if (!is_drive_node(entry->d_name)) continue;
        const std::string node = std::string("/dev/") + entry->d_name;
        struct stat info{};
        if (stat(node.c_str(), &info) != 0 || access(node.c_str(), R_OK | W_OK) == 0) continue;
        if (blocked.node.empty() || node < blocked.node) blocked.node = node;
    }
    closedir(dev);
    return blocked;
}

}  // namespace platform
