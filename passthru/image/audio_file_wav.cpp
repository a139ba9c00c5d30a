// Audio files without libsndfile: plain PCM WAV only, its samples read straight from the file
// (they already are CD frames: 16-bit little-endian, left then right).
#include <algorithm>
#include <vector>

#include "passthru/image/image_source.h"
#include "passthru/image/wav_format.h"

namespace passthru::image {
namespace {

constexpr std::size_t kHeadBytes = 64 * 1024;  // a data chunk starts well within this

class WavFile final : public ImageSource {
public:
    WavFile(std::shared_ptr<ImageSource> raw, WavLayout layout) : raw_(std::move(raw)), layout_(layout) {}

    bool read(std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &got,
              std::string &why) const override {
        got = 0;
        if (offset >= layout_.data_bytes) return true;
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, layout_.data_bytes - offset));
        return raw_->read(layout_.data_offset + offset, out, wanted, got, why);
    }

private:
    std::shared_ptr<ImageSource> raw_;
    WavLayout layout_;
};

}  // namespace

std::shared_ptr<ImageSource> open_audio_file(const std::string &path, std::uint64_t &data_bytes, std::string &why) {
    std::uint64_t size = 0;
    auto raw = open_raw_file(path, size, why);
    if (!raw) return nullptr;
    std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeadBytes)));
    std::size_t got = 0;
    if (!raw->read(0, head.data(), head.size(), got, why)) return nullptr;
    WavLayout layout;
    if (!parse_wav_header(head.data(), got, size, layout, why)) return nullptr;
    data_bytes = layout.data_bytes;
    return std::make_shared<WavFile>(std::move(raw), layout);
}

}  // namespace passthru::image
