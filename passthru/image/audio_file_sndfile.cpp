// Audio files through libsndfile (WAV, FLAC, AIFF, W64, RF64, CAF, ...), read through our own
// checked file (libsndfile's virtual I/O), decoded frame by frame as requests come.
#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "passthru/image/image_source.h"

namespace passthru::image {
namespace {

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
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || !info.name) return "audio";
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
    SndFile(std::unique_ptr<VirtualFile> file, SNDFILE *sf) : file_(std::move(file)), sf_(sf) {}
    ~SndFile() override { sf_close(sf_); }
    SndFile(const SndFile &) = delete;
    SndFile &operator=(const SndFile &) = delete;

    bool read(std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &got,
              std::string &why) const override {
        std::lock_guard lock(mutex_);
        got = 0;
        const auto frame = static_cast<sf_count_t>(offset / 4);
        // Playing goes forward: seek only when the request does not continue the last one, so a
        // compressed file is not searched again for every READ CD.
        if (frame != next_frame_ && sf_seek(sf_, frame, SEEK_SET) != frame) return fail(why);
        next_frame_ = frame;
        const auto frames = static_cast<sf_count_t>(bytes / 4);
        sf_count_t n = 0;
        if (reinterpret_cast<std::uintptr_t>(out) % alignof(short) == 0) {
            n = sf_readf_short(sf_, reinterpret_cast<short *>(out), frames);
        } else {
            short part[2 * 588];
            while (n < frames) {
                const sf_count_t want = std::min<sf_count_t>(frames - n, 588);
                const sf_count_t r = sf_readf_short(sf_, part, want);
                if (r <= 0) break;
                std::memcpy(out + n * 4, part, static_cast<std::size_t>(r) * 4);
                n += r;
            }
        }
        if (n < 0 || sf_error(sf_) != SF_ERR_NO_ERROR) {
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
        const char *text = sf_strerror(sf_);
        why = text && *text ? text : "cannot decode";
        next_frame_ = -1;
        return false;
    }

    std::unique_ptr<VirtualFile> file_;
    SNDFILE *sf_;
    mutable std::mutex mutex_;          // one decode at a time: the decoder has a position
    mutable sf_count_t next_frame_ = 0;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<ImageSource> open_audio_file(const std::string &path, std::uint64_t &data_bytes, std::string &why) {
    auto file = std::make_unique<VirtualFile>();
    file->raw = open_raw_file(path, file->size, why);
    if (!file->raw) return nullptr;
    SF_INFO info{};
    SNDFILE *sf = sf_open_virtual(&g_io, SFM_READ, &info, file.get());
    if (!sf) {
        why = std::string("not an audio file this build reads (") + sf_strerror(nullptr) + ")";
        return nullptr;
    }
    if (!is_cd_audio(info)) {
        why = "it is " + format_name(info.format) + ", " + std::to_string(info.samplerate) + " Hz, " +
              std::to_string(info.channels) + " channel(s), " + sample_words(info.format) +
              "; a CD holds 44100 Hz, 2 channels, 16-bit";
        sf_close(sf);
        return nullptr;
    }
    if (!info.seekable) {
        why = "it cannot be read at a chosen position";
        sf_close(sf);
        return nullptr;
    }
    data_bytes = static_cast<std::uint64_t>(info.frames) * 4;
    return std::make_shared<SndFile>(std::move(file), sf);
}

const char *audio_formats_read() { return "WAV, FLAC, AIFF, W64, RF64 and the other formats of libsndfile"; }

}  // namespace passthru::image
