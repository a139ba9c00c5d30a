// Raw image files on Windows: CreateFile, a disk-file check on the open handle, positioned ReadFile.
#include <windows.h>

#include <algorithm>

#include "passthru/image/image_source.h"
#include "passthru/messages.h"

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

HANDLE handle_of(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

// The OVERLAPPED offset makes ReadFile positioned, so no file pointer is shared between calls.
bool read_file_at(FileHandle file, std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &n,
                  std::string &why) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes, 1u << 30));
    DWORD got = 0;
    n = 0;
    if (!ReadFile(handle_of(file), out, want, &got, &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) return true;
        why = system_words(error);
        return false;
    }
    n = got;
    return true;
}

void close_file(FileHandle file) { CloseHandle(handle_of(file)); }

std::shared_ptr<ImageSource> open_raw_file(const std::string &path, std::uint64_t &size, std::string &why) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        why = error == ERROR_ACCESS_DENIED && (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
                  ? msg::not_a_file(msg::kind_folder)
                  : system_words(error);
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = msg::not_a_regular_file;
        CloseHandle(h);
        return nullptr;
    }
    size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return raw_file_of(reinterpret_cast<FileHandle>(h));
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
