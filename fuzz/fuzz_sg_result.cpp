// SG_IO result mapping: what the kernel may answer (any status bytes, residual, sense of any length
// and format) or any failed ioctl, for any command, turned into ASPI terms.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "passthru/sg/sg_result.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace passthru;
    static std::uint8_t buffer[65536];
    static std::uint8_t sense[sg::kKernelSenseBytes];
    FuzzInput in{data, size};
    ScsiCommand c{};
    c.cdb_length = 12;
    in.bytes(c.cdb, 12);
    c.data_length = in.u32() % (sizeof buffer + 1);
    c.direction = c.data_length ? (in.byte() & 1 ? DataDirection::in : DataDirection::out) : DataDirection::none;
    c.data = buffer;
    ScsiOutcome o;
    const std::uint8_t path = in.byte();
    if (path % 4 == 0) {
        sg::map_submit_error(in.byte(), c, in.u32(), o);
    } else {
        sg_io_hdr_t h = sg::make_header(c, sense);
        h.status = in.byte();
        h.masked_status = in.byte();
        h.host_status = static_cast<unsigned short>(in.byte() << 8 | in.byte());
        h.driver_status = static_cast<unsigned short>(in.byte() << 8 | in.byte());
        h.resid = static_cast<int>(in.u32());
        h.sb_len_wr = in.byte();
        in.bytes(sense, sizeof sense);
        sg::map_completion(h, c, path & 0x80, o);
    }
    if (o.transferred > c.data_length || o.sense_length > kSenseBytes) __builtin_trap();
    return 0;
}
