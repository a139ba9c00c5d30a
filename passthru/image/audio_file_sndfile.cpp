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
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "passthru/image/image_source.h"
#include "passthru/messages.h"
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

std::string time_of(sf_count_t frame) {
    const sf_count_t sector = frame / 588;
    auto two = [](sf_count_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
    return two(sector / (60 * 75)) + ":" + two(sector / 75 % 60) + ":" + two(sector % 75);
}

class SndFile final : public ImageSource {
public:
    SndFile(const SndfileApi &api, std::string path, std::unique_ptr<VirtualFile> file, SNDFILE *sf, sf_count_t frames)
        : api_(api), path_(std::move(path)), file_(std::move(file)), frames_(frames), sf_(sf) {}
    ~SndFile() override {
        if (sf_) api_.close(sf_);
    }
    SndFile(const SndFile &) = delete;
    SndFile &operator=(const SndFile &) = delete;

    // A file that holds fewer samples than its header says (cut short) gives what it holds and
    // nothing after it: `got` ends where the samples end, and one line says where that is.
    bool read(std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &got,
              std::string &why) const override {
        std::lock_guard lock(mutex_);
        got = 0;
        const auto frame = static_cast<sf_count_t>(offset / 4);
        if (frame >= decodable_end_) return true;
        // Playing goes forward: seek only when the request does not continue the last one, so a
        // compressed file is not searched again for every READ CD.
        if (frame != next_frame_ && !seek_to(frame, why)) return false;
        if (next_frame_ < frame) return true;  // the samples end before `frame`
        const auto frames = static_cast<sf_count_t>(bytes / 4);
        const sf_count_t n = decode(out, frames);
        next_frame_ += n;
        got = static_cast<std::size_t>(n) * 4;
        if (!file_->error.empty()) {  // libsndfile took the failed read for the end of the file
            why = file_->error;
            file_->error.clear();
            next_frame_ = -1;
            return false;
        }
        if (n < frames) ends_at(next_frame_);
        return true;
    }

private:
    // Decodes up to `frames` frames into `out`; fewer where the samples end (or the decoder cannot
    // go on: what it gave is all there is).
    sf_count_t decode(std::uint8_t *out, sf_count_t frames) const {
        sf_count_t n = 0;
        if (reinterpret_cast<std::uintptr_t>(out) % alignof(short) == 0) {
            n = std::max<sf_count_t>(api_.readf_short(sf_, reinterpret_cast<short *>(out), frames), 0);
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
        return n;
    }

    // Puts the decoder at `frame`. A compressed file cut short (or damaged) may not seek: then it is
    // opened again and decoded from its start up to `frame`, so that no sample that can be decoded
    // is lost; next_frame_ then tells where the decoder stands (before `frame` if the samples end).
    bool seek_to(sf_count_t frame, std::string &why) const {
        if (sf_ && api_.seek(sf_, frame, SEEK_SET) == frame) {
            next_frame_ = frame;
            return true;
        }
        if (sf_) api_.close(sf_);
        file_->position = 0;
        file_->error.clear();
        SF_INFO info{};
        sf_ = api_.open_virtual(&g_io, SFM_READ, &info, file_.get());
        next_frame_ = 0;
        if (!sf_) {
            why = msg::cannot_decode_again(api_.strerror(nullptr));
            next_frame_ = -1;
            return false;
        }
        short skipped[2 * 4096];
        while (next_frame_ < frame) {
            const sf_count_t r = api_.readf_short(sf_, skipped, std::min<sf_count_t>(frame - next_frame_, 4096));
            if (r <= 0) {
                ends_at(next_frame_);
                break;
            }
            next_frame_ += r;
        }
        return true;
    }

    void ends_at(sf_count_t frame) const {
        if (frame >= decodable_end_ || frame >= frames_) return;
        decodable_end_ = frame;
        if (!reported_)
            platform::write_text(stderr, msg::line(msg::audio_ends_early(path_, time_of(frame), time_of(frames_))));
        reported_ = true;
    }

    const SndfileApi &api_;
    const std::string path_;
    std::unique_ptr<VirtualFile> file_;
    const sf_count_t frames_;               // what the header says the file holds
    mutable std::mutex mutex_;              // one decode at a time: the decoder has a position
    mutable SNDFILE *sf_;                   // guarded by mutex_ (reopened after a failed seek)
    mutable sf_count_t next_frame_ = 0;     // guarded by mutex_
    mutable sf_count_t decodable_end_ = INT64_MAX;  // guarded by mutex_: where the samples end
    mutable bool reported_ = false;         // guarded by mutex_
};

}  // namespace

std::shared_ptr<ImageSource> open_audio_file(const std::string &path, std::uint64_t &data_bytes, std::string &why) {
    const SndfileApi *api = sndfile();
    if (!api) {
        why = msg::sndfile_missing(kSndfileName);
        return nullptr;
    }
    auto file = std::make_unique<VirtualFile>();
    file->raw = open_raw_file(path, file->size, why);
    if (!file->raw) return nullptr;
    SF_INFO info{};
    SNDFILE *sf = api->open_virtual(&g_io, SFM_READ, &info, file.get());
    if (!sf) {
        why = msg::not_audio_read(api->strerror(nullptr));
        return nullptr;
    }
    if (!is_cd_audio(info)) {
        why = msg::not_cd_audio(format_name(info.format), info.samplerate, info.channels, sample_words(info.format));
        api->close(sf);
        return nullptr;
    }
    if (!info.seekable) {
        why = msg::not_seekable;
        api->close(sf);
        return nullptr;
    }
    data_bytes = static_cast<std::uint64_t>(info.frames) * 4;
    return std::make_shared<SndFile>(*api, path, std::move(file), sf, info.frames);
}

}  // namespace passthru::image
