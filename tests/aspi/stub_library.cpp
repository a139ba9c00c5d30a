// A stand-in pass-through library for the binding tests, built in variants that lack one or both
// entry points.
#include <cstdint>

#if defined(_WIN32)
#define STUB_EXPORT extern "C" __declspec(dllexport)
#else
#define STUB_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifdef STUB_HAS_SUPPORT_INFO
STUB_EXPORT std::uint32_t GetASPI32SupportInfo(void) { return 0x0101; }
#endif
#ifdef STUB_HAS_SEND_COMMAND
STUB_EXPORT std::uint32_t SendASPI32Command(void *) { return 0x01; }
#endif
STUB_EXPORT int StubLibraryPresent(void) { return 1; }
