// Raw image files on POSIX: open without blocking, fstat on the open descriptor, pread.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "passthru/image/image_source.h"
#include "passthru/messages.h"

namespace passthru::image {
namespace {

const char *kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return msg::kind_folder;
    if (S_ISFIFO(mode)) return msg::kind_fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return msg::kind_device;
    if (S_ISSOCK(mode)) return msg::kind_socket;
    return msg::kind_other;
}

}  // namespace

bool read_file_at(FileHandle file, std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &n,
                  std::string &why) {
    ssize_t got;
    do got = ::pread(static_cast<int>(file), out, bytes, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        why = std::strerror(errno);
        return false;
    }
    n = static_cast<std::size_t>(got);
    return true;
}

void close_file(FileHandle file) { ::close(static_cast<int>(file)); }

std::shared_ptr<ImageSource> open_raw_file(const std::string &path, std::uint64_t &size, std::string &why) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        why = msg::not_a_file(kind_of(st.st_mode));
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // A file we may open but not read (a folder's permissions aside) shows here, not during play.
    std::uint8_t probe;
    if (::pread(fd, &probe, 1, 0) < 0) {
        why = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return raw_file_of(fd);
}

bool path_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool folder_names(const std::string &folder, std::vector<std::string> &names) {
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return false;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return true;
}

bool is_path_separator(char c) { return c == '/'; }

bool is_absolute_path(const std::string &path) { return !path.empty() && path[0] == '/'; }

}  // namespace passthru::image
