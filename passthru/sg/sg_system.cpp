// The real system calls behind SgSystem.
#include "passthru/sg/sg_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <scsi/scsi.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace passthru::sg {
namespace {

constexpr std::size_t kMaxAttributeBytes = 4096;  // sysfs attributes fit one page

bool list_dir(const char *path, std::vector<std::string> &names) {
    DIR *dir = opendir(path);
    if (!dir) return false;
    names.clear();
    while (const dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    return true;
}

bool read_link(const char *path, std::string &target) {
    char buffer[4096];
    const ssize_t n = readlink(path, buffer, sizeof buffer);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
    target.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

bool read_file(const char *path, std::string &text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[kMaxAttributeBytes];
    ssize_t n;
    do {
        n = read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0) return false;
    text.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

int open_node(const char *path, bool writable) {
    const int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

void close_node(int fd) { close(fd); }

int get_idlun(int fd, int *idlun) { return ioctl(fd, SCSI_IOCTL_GET_IDLUN, idlun) == 0 ? 0 : -errno; }

int sg_io(int fd, sg_io_hdr_t *header) { return ioctl(fd, SG_IO, header) == 0 ? 0 : -errno; }

void report(const char *line) { std::fprintf(stderr, "%s\n", line); }

std::string group_of(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return {};
    struct group entry;
    struct group *found = nullptr;
    char buffer[4096];
    if (getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->gr_name;
    return std::to_string(st.st_gid);
}

constexpr SgSystem kRealSystem{list_dir, read_link, read_file, open_node, close_node, get_idlun, sg_io, report, group_of};

}  // namespace

const SgSystem &real_sg_system() { return kRealSystem; }

}  // namespace passthru::sg
