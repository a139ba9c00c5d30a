// A raw image file: positioned reads of the platform's file until the bytes asked for are in or
// the file ends.
#include "passthru/image/image_source.h"

namespace passthru::image {
namespace {

class RawFile final : public ImageSource {
public:
    explicit RawFile(FileHandle file) : file_(file) {}
    ~RawFile() override { close_file(file_); }
    RawFile(const RawFile &) = delete;
    RawFile &operator=(const RawFile &) = delete;

    bool read(std::uint64_t offset, std::uint8_t *out, std::size_t bytes, std::size_t &got,
              std::string &why) const override {
        got = 0;
        while (got < bytes) {
            std::size_t n = 0;
            if (!read_file_at(file_, offset + got, out + got, bytes - got, n, why)) return false;
            if (n == 0) break;  // end of file
            got += n;
        }
        return true;
    }

private:
    FileHandle file_;
};

}  // namespace

std::shared_ptr<ImageSource> raw_file_of(FileHandle file) { return std::make_shared<RawFile>(file); }

}  // namespace passthru::image
