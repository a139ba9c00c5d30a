// The library's exported entry points: C linkage, cdecl, nothing else exported.
#include <cstdint>
#include <exception>

#include "aspi/aspi32.h"
#include "passthru/manager.h"

#if defined(_WIN32)
#define PASSTHRU_EXPORT extern "C" __declspec(dllexport)
#else
#define PASSTHRU_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Nothing may unwind into the caller: a failure the manager did not foresee (out of memory in a
// standard container, a thread that cannot start) becomes a status.
PASSTHRU_EXPORT std::uint32_t ASPI_CDECL GetASPI32SupportInfo(void) {
    try {
        return passthru::get_support_info();
    } catch (...) {
        return std::uint32_t{SS_FAILED_INIT} << 8;
    }
}

PASSTHRU_EXPORT std::uint32_t ASPI_CDECL SendASPI32Command(void *srb) {
    try {
        return passthru::send_command(srb);
    } catch (...) {
        return SS_INSUFFICIENT_RESOURCES;
    }
}

// Names our library and its version; tests use it to tell ours from another WNASPI32.DLL.
PASSTHRU_EXPORT const char *ASPI_CDECL CddaplayPassThruInfo(void) { return passthru::library_info(); }
