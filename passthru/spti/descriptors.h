#pragma once
// The two storage descriptors the spti back end reads from Windows, as plain bytes (no platform
// headers here, so a fuzz target on any platform can call these).
//
// STORAGE_ADAPTER_DESCRIPTOR (IOCTL_STORAGE_QUERY_PROPERTY, StorageAdapterProperty): the
// adapter's largest transfer (bounded by its physical pages: a buffer that does not start on a
// page spans one page more than its length needs) and its buffer alignment mask. Without an answer:
// 32 KiB (what every Windows CD stack takes, Wine's too) and page alignment (which meets any
// adapter's). A mask that is no run of low bits (Wine reports the page size, 0x1000) becomes the
// smallest run covering it; one wider than 16 bits cannot be right and falls back.
//
// STORAGE_DEVICE_DESCRIPTOR (StorageDeviceProperty): vendor and product identification and product
// revision, strings at offsets 12, 16 and 20 inside the descriptor.

#include <cstddef>
#include <cstdint>
#include <string>

namespace passthru::spti {

inline constexpr std::uint32_t kFallbackMaxTransfer = 32 * 1024;
inline constexpr std::uint32_t kFallbackAlignmentMask = 0x0FFF;
inline constexpr std::uint32_t kLargestAlignmentMask = 0xFFFF;  // HA_Unique holds 16 bits of it

struct TransferLimits {
    std::uint32_t max_transfer = kFallbackMaxTransfer;
    std::uint32_t alignment_mask = kFallbackAlignmentMask;  // (address & mask) == 0 is aligned
};

// The limits in the `length` bytes the system returned, with the fallbacks for what they lack.
TransferLimits adapter_limits(const std::uint8_t *descriptor, std::size_t length);

// Vendor, product (and revision when asked) from the `length` bytes returned, trimmed; empty when
// absent or out of bounds.
void device_names(const std::uint8_t *descriptor, std::size_t length, std::string &vendor, std::string &model,
                  std::string *revision = nullptr);

}  // namespace passthru::spti
