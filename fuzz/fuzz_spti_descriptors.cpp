// The Windows back end's storage descriptors (adapter limits, device names), on any answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "passthru/spti/descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const passthru::spti::TransferLimits limits = passthru::spti::adapter_limits(data, size);
    // A mask is a run of low bits that HA_Unique can hold.
    if (limits.alignment_mask > passthru::spti::kLargestAlignmentMask ||
        (limits.alignment_mask & (limits.alignment_mask + 1)) != 0 || limits.max_transfer == 0)
        __builtin_trap();
    std::string vendor, model;
    std::string revision;
    passthru::spti::device_names(data, size, vendor, model, &revision);
    return 0;
}
