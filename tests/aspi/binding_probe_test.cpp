// bind_aspi against a real library file: built once per variant, each copy in a folder of its own
// beside the library variant it is to find (PROBE_VARIANT names which).
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "aspi/binding.h"
#include "tests/support/loaded_library.h"

namespace {

struct Expectation {
    const char *variant;
    int result;
    const char *printed;
};

constexpr Expectation kExpectations[] = {
    {"complete", 1, ""},
    {"missing_send", 0, "fail to get the process lpSendASPI32Command\n"},
    {"missing_both", 0, "fail to get the process lpGetASPI32SupportInfo\n"},
    {"absent", 0, "fail to load the wnaspi32.dll\n"},
};

const Expectation &expected() {
    for (const auto &e : kExpectations)
        if (std::strcmp(e.variant, PROBE_VARIANT) == 0) return e;
    throw std::logic_error("unknown variant");
}

TEST(BindingWithLibraryFile, PrintsExactlyItsMessageAndLeavesNothingLoaded) {
    const Expectation &e = expected();
    AspiBinding binding{};
    ::testing::internal::CaptureStdout();
    int result = bind_aspi(&binding);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), e.printed);
    EXPECT_EQ(result, e.result);
    if (result == 1) {
        EXPECT_TRUE(test_support::library_is_loaded(platform::aspi_library_name()));
        EXPECT_EQ(binding.lpGetASPI32SupportInfo(), 0x0101u);
        release_aspi(&binding);
    }
    EXPECT_EQ(binding.library, nullptr);
    EXPECT_EQ(binding.lpGetASPI32SupportInfo, nullptr);
    EXPECT_EQ(binding.lpSendASPI32Command, nullptr);
    EXPECT_FALSE(test_support::library_is_loaded(platform::aspi_library_name()));
    release_aspi(&binding);  // releasing an empty binding is harmless
}

}  // namespace
