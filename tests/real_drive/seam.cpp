#include "tests/real_drive/seam.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>

namespace real_drive_test {
namespace {

std::atomic<int> g_virtual_adapters{0};  // set by the test thread before the back ends open; relaxed

void nothing() {}
int count() { return g_virtual_adapters.load(std::memory_order_relaxed); }
passthru::AdapterIdentity identity(int) { return {"virtual", 7, 1u << 20, 0}; }
int no_unit(int, int, int) { return passthru::kNoDevice; }
void never(int, int, int, const passthru::ScsiCommand &, passthru::ScsiOutcome &o, const passthru::CancelToken &) {
    o.host_status = 0x11;
}

constexpr passthru::Backend kVirtual{"image", nothing, nothing, count, identity, no_unit, never};

}  // namespace

void set_virtual_adapters(int n) { g_virtual_adapters.store(n, std::memory_order_relaxed); }

OpenBackend::OpenBackend() {
    use_fake_system(true);
    backend_under_test().open();
}

OpenBackend::~OpenBackend() {
    backend_under_test().close();
    use_fake_system(false);
}

passthru::ScsiOutcome run_command(int target, int lun, const passthru::ScsiCommand &command, bool given_up) {
    passthru::ScsiOutcome o;
    o.aspi_status = 0xEE;  // execute must start from a clean outcome
    passthru::CancelToken cancel;
    if (given_up) cancel.cancel();
    backend_under_test().execute(0, target, lun, command, o, cancel);
    return o;
}

void expect_adapter(int adapter, const char *name, std::uint32_t max_transfer) {
    const passthru::AdapterIdentity identity = backend_under_test().adapter_identity(adapter);
    EXPECT_STREQ(identity.name, name) << "adapter " << adapter;
    EXPECT_EQ(identity.own_scsi_id, 7) << name;
    EXPECT_EQ(identity.max_transfer, max_transfer) << name;
}

}  // namespace real_drive_test

passthru::BackendList passthru::registered_backends() {
    static const Backend *const kBackends[] = {&real_drive_test::kVirtual, &real_drive_test::backend_under_test()};
    return {kBackends, static_cast<int>(std::size(kBackends))};
}
