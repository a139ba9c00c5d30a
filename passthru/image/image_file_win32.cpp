// Raw image files on Windows: CreateFile, a disk-file check on the open handle, positioned ReadFile.
#include <windows.h>

#include <algorithm>

#include "passthru/image/image_source.h"

namespace passthru::image {
namespace {

std::string system_words(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                   text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == '.' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(error) : s;
}

class RawFile final : public ImageSource {
public:
    explicit RawFile(HANDLE h) : handle_(h) {}
    ~RawFile() override { CloseHandle(handle_); }
    RawFile(const RawFile &) = delete;
    RawFile &operator=(const RawFile &) = delete;

    // The OVERLAPPED offset makes ReadFile positioned, so no file pointer is shared between calls.
    bool read(std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &got,
              std::string &why) const override {
        got = 0;
        while (got < bytes) {
            OVERLAPPED at{};
            const std::uint64_t where = offset + got;
            at.Offset = static_cast<DWORD>(where);
            at.OffsetHigh = static_cast<DWORD>(where >> 32);
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes - got, 1u << 30));
            DWORD n = 0;
            if (!ReadFile(handle_, out + got, want, &n, &at)) {
                const DWORD error = GetLastError();
                if (error == ERROR_HANDLE_EOF) break;
                why = system_words(error);
                return false;
            }
            if (n == 0) break;
            got += n;
        }
        return true;
    }

private:
    HANDLE handle_;
};

}  // namespace

std::shared_ptr<ImageSource> open_raw_file(const std::string &path, std::uint64_t &size, std::string &why) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        why = error == ERROR_ACCESS_DENIED && (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
                  ? "it is a folder, not a file"
                  : system_words(error);
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "it is not a regular file";
        CloseHandle(h);
        return nullptr;
    }
    size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return std::make_shared<RawFile>(h);
}

bool path_exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool folder_names(const std::string &folder, std::vector<std::string> &names) {
    const std::string pattern = folder.empty() ? "*" : folder + "\\*";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

bool is_path_separator(char c) { return c == '/' || c == '\\'; }

bool is_absolute_path(const std::string &path) {
    return !path.empty() && (is_path_separator(path[0]) || (path.size() >= 2 && path[1] == ':'));
}

}  // namespace passthru::image
