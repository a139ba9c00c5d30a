#pragma once
// The image files behind a sheet, as the virtual drive reads them: opened and checked once when the
// sheet loads, then read on demand straight into the caller's buffer; nothing is read or decoded
// ahead of a request.
//
//   open_raw_file     BINARY/MOTOROLA files and data tracks: bytes at an offset, one positioned read
//                     per request. One file per platform (image_file_posix.cpp, image_file_win32.cpp).
//   open_audio_file   WAVE-typed files, decoded to CD frames. One reader chosen by the build:
//                     libsndfile (audio_file_sndfile.cpp: WAV, FLAC, AIFF, W64, RF64, ...) or our
//                     plain PCM WAV reader (audio_file_wav.cpp), for builds without libsndfile.
//
// Threads: open_* when the library loads; read from the manager's worker, and safe from any thread
// (positioned reads share no file position; an audio decoder locks).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "passthru/image/disc.h"

namespace passthru::image {

class ImageSource {
public:
    virtual ~ImageSource() = default;
    // Copies `bytes` bytes of sector data starting `offset` bytes into the file's data. Raw files:
    // the file's own bytes (fewer at its end: the rest of `out` is left alone and `got` says how
    // many came). Audio files: CD frames, 16-bit little-endian samples, left then right; `offset`
    // and `bytes` are multiples of 4; fewer where the samples end, also when a file cut short ends
    // before its header says (a line on standard error says where, once), and a compressed file
    // that cannot seek is decoded from its start rather than left silent. False with the reason
    // when the file cannot be read.
    virtual bool read(std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &got,
                      std::string &why) const = 0;
};

// Opens `path` for reading without ever waiting (a FIFO would block an ordinary open) and checks on
// the open file that it is a regular file: directories, FIFOs and devices are refused. `size` is its
// length in bytes.
std::shared_ptr<ImageSource> open_raw_file(const std::string &path, std::uint64_t &size, std::string &why);

// Opens an audio file (through open_raw_file's checks) and accepts only CD audio: 44100 Hz, two
// channels, 16-bit samples. `data_bytes` is its length in CD frames times 4.
std::shared_ptr<ImageSource> open_audio_file(const std::string &path, std::uint64_t &data_bytes, std::string &why);

// ---- An open file, as the platform files see it ----
using FileHandle = std::intptr_t;  // a descriptor on POSIX, a HANDLE on Windows
// One positioned read of at most `bytes` at `offset` into `out`: `n` is what came, 0 at the end of
// the file; false with the system's words in `why` (same platform files as open_raw_file).
bool read_file_at(FileHandle file, std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &n,
                  std::string &why);
void close_file(FileHandle file);
// The raw file over an open `file`, which it owns and closes (raw_file.cpp).
std::shared_ptr<ImageSource> raw_file_of(FileHandle file);

// ---- Folders, for finding the files a sheet names (same platform files as open_raw_file) ----
// Written by hand rather than with std::filesystem, which brings the whole of the C++ locale and
// stream machinery into a library that is loaded three times per run.
// Whether anything (a dangling link included) is at `path`.
bool path_exists(const std::string &path);
// The names in `folder` ("" for the current folder), without "." and ".."; false when it cannot
// be listed.
bool folder_names(const std::string &folder, std::vector<std::string> &names);
// '/' everywhere; '\' too on Windows.
bool is_path_separator(char c);
// A path that names the same file whatever folder it is put in ("/x"; on Windows also "\x", "C:x").
bool is_absolute_path(const std::string &path);

}  // namespace passthru::image
