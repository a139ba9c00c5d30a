#include "passthru/spti/descriptors.h"

#include <algorithm>
#include <utility>

#include "passthru/text.h"

namespace passthru::spti {
namespace {

constexpr std::uint32_t kPageBytes = 4096;

std::uint32_t get_le32(const std::uint8_t *p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// The NUL-terminated text at `offset` of the descriptor, within its `length` bytes.
std::string text_at(const std::uint8_t *d, std::size_t length, std::uint32_t offset) {
    if (offset == 0 || offset >= length) return {};
    std::string text;
    for (std::size_t i = offset; i < length && d[i] != 0; ++i) text += static_cast<char>(d[i]);
    return std::string(trim(text));
}

}  // namespace

TransferLimits adapter_limits(const std::uint8_t *d, std::size_t length) {
    TransferLimits limits;
    if (!d || length < 12) return limits;
    std::uint32_t max = get_le32(d + 8);
    if (length >= 16) {
        // A buffer that does not start on a page spans one page more than its length needs.
        const std::uint32_t pages = get_le32(d + 12);
        if (pages > 1) max = static_cast<std::uint32_t>(std::min<std::uint64_t>(max, std::uint64_t{pages - 1} * kPageBytes));
    }
    if (max > 0) limits.max_transfer = max;
    if (length >= 20) {
        std::uint32_t mask = get_le32(d + 16);
        if (mask <= kLargestAlignmentMask) {
            for (int shift = 1; shift < 32; shift *= 2) mask |= mask >> shift;
            limits.alignment_mask = mask;
        }
    }
    return limits;
}

void device_names(const std::uint8_t *d, std::size_t length, std::string &vendor, std::string &model,
                  std::string *revision) {
    vendor.clear();
    model.clear();
    if (revision) revision->clear();
    if (!d || length < 20) return;
    const std::uint32_t size = get_le32(d + 4);
    if (size > 0) length = std::min<std::size_t>(length, size);
    vendor = text_at(d, length, get_le32(d + 12));
    model = text_at(d, length, get_le32(d + 16));
    if (revision && length >= 24) *revision = text_at(d, length, get_le32(d + 20));
}

}  // namespace passthru::spti
