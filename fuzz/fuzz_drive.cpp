// The virtual drive's command decoder: any descriptor block of any length, any buffer size (up to
// 4 sectors), on the built-in disc, a ready or a not-ready unit.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "passthru/image/drive.h"

namespace {
constexpr std::uint32_t kMaxData = 4 * 2352;
std::uint8_t g_data[kMaxData + 64];  // the tail catches a write past data_length
constexpr std::uint8_t kCanary = 0xA5;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace passthru;
    static image::Unit unit = [] {
        image::Unit u;
        u.disc = std::make_shared<const image::Disc>(image::builtin_disc());
        return u;
    }();
    FuzzInput in{data, size};
    static constexpr std::uint8_t kLengths[] = {6, 10, 12, 16};
    ScsiCommand c{};
    c.cdb_length = kLengths[in.byte() % 4];
    in.bytes(c.cdb, c.cdb_length);
    unit.not_ready = in.byte() % 5 == 0;
    unit.version = in.byte();
    c.data_length = in.u32() % (kMaxData + 1);
    c.direction = c.data_length ? DataDirection::in : DataDirection::none;
    c.data = g_data;
    c.cancellable = true;
    std::memset(g_data + c.data_length, kCanary, sizeof g_data - c.data_length);
    ScsiOutcome o;
    image::execute_drive_command(unit, c, o);
    if (o.transferred > c.data_length || o.sense_length > kSenseBytes) __builtin_trap();
    for (std::size_t i = c.data_length; i < sizeof g_data; ++i)
        if (g_data[i] != kCanary) __builtin_trap();
    return 0;
}
