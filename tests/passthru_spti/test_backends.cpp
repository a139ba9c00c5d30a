#include "tests/passthru_spti/test_backends.h"

#include <atomic>
#include <iterator>

#include "passthru/spti/spti_backend.h"

namespace spti_test {
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

}  // namespace spti_test

passthru::BackendList passthru::registered_backends() {
    static const Backend *const kBackends[] = {&spti_test::kVirtual, &spti::spti_backend()};
    return {kBackends, static_cast<int>(std::size(kBackends))};
}
