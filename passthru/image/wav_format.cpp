#include "passthru/image/wav_format.h"

#include <algorithm>
#include <cstring>

#include "passthru/messages.h"

namespace passthru::image {
namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

std::uint16_t le16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t *p) { return le16(p) | (std::uint32_t{le16(p + 2)} << 16); }

bool check_format(const std::uint8_t *fmt, std::uint32_t length, std::string &why) {
    if (length < 16) {
        why = msg::wav_format_too_short;
        return false;
    }
    std::uint16_t tag = le16(fmt);
    // WAVE_FORMAT_EXTENSIBLE keeps the real format in the first two bytes of its sub-format GUID.
    if (tag == kFormatExtensible && length >= 40) tag = le16(fmt + 24);
    const std::uint16_t channels = le16(fmt + 2);
    const std::uint32_t rate = le32(fmt + 4);
    const std::uint16_t bits = le16(fmt + 14);
    if (tag != kFormatPcm || channels != 2 || rate != 44100 || bits != 16) {
        why = msg::wav_not_cd_audio(tag == kFormatPcm, rate, channels, bits);
        return false;
    }
    return true;
}

}  // namespace

bool parse_wav_header(const std::uint8_t *head, std::size_t size, std::uint64_t file_size, WavLayout &layout,
                      std::string &why) {
    if (!head || size < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
        why = msg::not_plain_wav;
        return false;
    }
    bool have_format = false;
    std::size_t at = 12;
    while (at + 8 <= size) {
        const std::uint8_t *chunk = head + at;
        const std::uint32_t length = le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length > size - at - 8) {
                why = msg::wav_format_cut_short;
                return false;
            }
            if (!check_format(chunk + 8, length, why)) return false;
            have_format = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_format) {
                why = msg::wav_samples_before_format;
                return false;
            }
            layout.data_offset = at + 8;
            // Writers that stream leave the length at 0 or 0xFFFFFFFF: the samples run to the end.
            const std::uint64_t in_file = file_size > layout.data_offset ? file_size - layout.data_offset : 0;
            const std::uint64_t stated = length == 0 || length == 0xFFFFFFFFu ? in_file : length;
            layout.data_bytes = std::min(stated, in_file) / 4 * 4;
            return true;
        }
        at += 8 + std::size_t{length} + (length & 1);  // chunks are padded to an even length
        if (at < 12) break;                             // wrapped around
    }
    why = have_format ? msg::wav_no_samples : msg::wav_no_format;
    return false;
}

}  // namespace passthru::image
