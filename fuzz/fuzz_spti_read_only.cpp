// A command block as the Windows back end turns it into the CD-ROM driver's own requests on a
// read-only handle, on any bytes a caller of the library may send.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "passthru/spti/read_only.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    passthru::ScsiCommand c{};
    in.bytes(c.cdb, sizeof c.cdb);
    c.cdb_length = 12;
    c.direction = passthru::DataDirection::in;
    c.data_length = in.u32() % (64 * 1024 + 1);
    const passthru::spti::ReadOnlyPlan plan = passthru::spti::plan_read_only(c);
    // What the system is asked to write always fits the command's buffer, and the input its structure.
    if (plan.answer_bytes > c.data_length || plan.input_size > sizeof plan.input) __builtin_trap();
    std::uint8_t inquiry[36];
    if (passthru::spti::descriptor_inquiry("vendor", "model", "rev", inquiry, in.byte()) > sizeof inquiry)
        __builtin_trap();
    return 0;
}
