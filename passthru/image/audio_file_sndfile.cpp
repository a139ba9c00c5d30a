// Audio files through libsndfile (WAV, FLAC, AIFF, W64, RF64, CAF, ...), read through our own
// checked file (libsndfile's virtual I/O), decoded frame by frame as requests come.
//
// libsndfile is loaded at run time, on the first audio file a sheet names: with it come its codecs
// (FLAC, Vorbis, Opus, MPEG), whose loading and symbol binding would otherwise cost every start of
// the program, three times (the pass-through library is loaded three times), even for a BIN image.
// Once loaded it stays for the rest of the process, so a later load of our library finds it ready.
#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "passthru/image/image_source.h"
#include "platform/platform.h"

namespace passthru::image {
namespace {

// The few entry points we use, bound by name from the run-time library.
struct SndfileApi {
    decltype(&::sf_open_virtual) open_virtual;
    decltype(&::sf_close) close;
    decltype(&::sf_seek) seek;
    decltype(&::sf_readf_short) readf_short;
    decltype(&::sf_error) error;
    decltype(&::sf_strerror) strerror;
    decltype(&::sf_command) command;
};

constexpr const char *kSndfileName = "libsndfile.so.1";

template <typename Fn> bool bind(platform::LibraryHandle library, const char *name, Fn &entry) {
    entry = reinterpret_cast<Fn>(platform::find_entry(library, name));
    return entry != nullptr;
}

// Null when libsndfile is not installed (or is not the one we know); never unloaded.
const SndfileApi *sndfile() {
    static const SndfileApi *api = [] () -> const SndfileApi * {
        platform::LibraryHandle library = platform::load_library(kSndfileName);
        if (!library) return nullptr;
        static SndfileApi bound{};
        const bool complete = bind(library, "sf_open_virtual", bound.open_virtual) && bind(library, "sf_close", bound.close) &&
                              bind(library, "sf_seek", bound.seek) && bind(library, "sf_readf_short", bound.readf_short) &&
                              bind(library, "sf_error", bound.error) && bind(library, "sf_strerror", bound.strerror) &&
                              bind(library, "sf_command", bound.command);
        return complete ? &bound : nullptr;
    }();
    return api;
}

static_assert(std::endian::native == std::endian::little, "sf_readf_short gives host-order samples");
static_assert(sizeof(short) == 2);

// What libsndfile reads and seeks through: our raw file and a position of our own.
struct VirtualFile {
    std::shared_ptr<ImageSource> raw;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    std::string error;  // the system's words for a failed read, for the caller's message
};

sf_count_t vf_length(void *user) { return static_cast<sf_count_t>(static_cast<VirtualFile *>(user)->size); }

sf_count_t vf_seek(sf_count_t offset, int whence, void *user) {
    auto &f = *static_cast<VirtualFile *>(user);
    const sf_count_t base = whence == SEEK_CUR ? static_cast<sf_count_t>(f.position)
                            : whence == SEEK_END ? static_cast<sf_count_t>(f.size)
                                                 : 0;
    const sf_count_t to = base + offset;
    if (to < 0) return -1;
    f.position = static_cast<std::uint64_t>(to);
    return to;
}

sf_count_t vf_read(void *out, sf_count_t count, void *user) {
    auto &f = *static_cast<VirtualFile *>(user);
    std::size_t got = 0;
    std::string why;
    if (count <= 0) return 0;
    if (!f.raw->read(f.position, static_cast<std::uint8_t *>(out), static_cast<std::size_t>(count), got, why)) {
        f.error = why;
        return 0;
    }
    f.position += got;
    return static_cast<sf_count_t>(got);
}

sf_count_t vf_write(const void *, sf_count_t, void *) { return 0; }

sf_count_t vf_tell(void *user) { return static_cast<sf_count_t>(static_cast<VirtualFile *>(user)->position); }

SF_VIRTUAL_IO g_io = {vf_length, vf_seek, vf_read, vf_write, vf_tell};

std::string format_name(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sndfile()->command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || !info.name) return "audio";
    return info.name;
}

std::string sample_words(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return "8-bit";
    case SF_FORMAT_PCM_16: return "16-bit";
    case SF_FORMAT_PCM_24: return "24-bit";
    case SF_FORMAT_PCM_32: return "32-bit";
    case SF_FORMAT_FLOAT: return "32-bit float";
    case SF_FORMAT_DOUBLE: return "64-bit float";
    default: return "compressed";
    }
}

// 16-bit PCM is what a CD holds; lossless formats that keep 16-bit samples report it too.
bool is_cd_audio(const SF_INFO &info) {
    return info.samplerate == 44100 && info.channels == 2 && (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
}

class SndFile final : public ImageSource {
public:
    SndFile(const SndfileApi &api, std::unique_ptr<VirtualFile> file, SNDFILE *sf)
        : api_(api), file_(std::move(file)), sf_(sf) {}
    ~SndFile() override { api_.close(sf_); }
    SndFile(const SndFile &) = delete;
    SndFile &operator=(const SndFile &) = delete;

    bool read(std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &got,
              std::string &why) const override {
        std::lock_guard lock(mutex_);
        got = 0;
        const auto frame = static_cast<sf_count_t>(offset / 4);
        // Playing goes forward: seek only when the request does not continue the last one, so a
        // compressed file is not searched again for every READ CD.
        if (frame != next_frame_ && api_.seek(sf_, frame, SEEK_SET) != frame) return fail(why);
        next_frame_ = frame;
        const auto frames = static_cast<sf_count_t>(bytes / 4);
        sf_count_t n = 0;
        if (reinterpret_cast<std::uintptr_t>(out) % alignof(short) == 0) {
            n = api_.readf_short(sf_, reinterpret_cast<short *>(out), frames);
        } else {
            short part[2 * 588];
            while (n < frames) {
                const sf_count_t want = std::min<sf_count_t>(frames - n, 588);
                const sf_count_t r = api_.readf_short(sf_, part, want);
                if (r <= 0) break;
                std::memcpy(out + n * 4, part, static_cast<std::size_t>(r) * 4);
                n += r;
            }
        }
        if (n < 0 || api_.error(sf_) != SF_ERR_NO_ERROR) {
            next_frame_ = -1;
            return fail(why);
        }
        next_frame_ += n;
        got = static_cast<std::size_t>(n) * 4;
        if (!file_->error.empty()) {  // libsndfile took the failed read for the end of the file
            why = file_->error;
            file_->error.clear();
            next_frame_ = -1;
            return false;
        }
        return true;
    }

private:
    bool fail(std::string &why) const {
        const char *text = api_.strerror(sf_);
        why = text && *text ? text : "cannot decode";
        next_frame_ = -1;
        return false;
    }

    const SndfileApi &api_;
    std::unique_ptr<VirtualFile> file_;
    SNDFILE *sf_;
    mutable std::mutex mutex_;          // one decode at a time: the decoder has a position
    mutable sf_count_t next_frame_ = 0;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<ImageSource> open_audio_file(const std::string &path, std::uint64_t &data_bytes, std::string &why) {
    const SndfileApi *api = sndfile();
    if (!api) {
        why = std::string("audio files are read with libsndfile (") + kSndfileName +
              "), which is not installed; install it (Debian: libsndfile1) or use a BIN image";
        return nullptr;
    }
    auto file = std::make_unique<VirtualFile>();
    file->raw = open_raw_file(path, file->size, why);
    if (!file->raw) return nullptr;
    SF_INFO info{};
    SNDFILE *sf = api->open_virtual(&g_io, SFM_READ, &info, file.get());
    if (!sf) {
        why = std::string("not an audio file this build reads (") + api->strerror(nullptr) + ")";
        return nullptr;
    }
    if (!is_cd_audio(info)) {
        why = "it is " + format_name(info.format) + ", " + std::to_string(info.samplerate) + " Hz, " +
              std::to_string(info.channels) + " channel(s), " + sample_words(info.format) +
              "; a CD holds 44100 Hz, 2 channels, 16-bit";
        api->close(sf);
        return nullptr;
    }
    if (!info.seekable) {
        why = "it cannot be read at a chosen position";
        api->close(sf);
        return nullptr;
    }
    data_bytes = static_cast<std::uint64_t>(info.frames) * 4;
    return std::make_shared<SndFile>(*api, std::move(file), sf);
}

const char *audio_formats_read() { return "WAV, FLAC, AIFF, W64, RF64 and the other formats of libsndfile"; }

}  // namespace passthru::image
