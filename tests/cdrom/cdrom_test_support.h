#pragma once
// Helpers shared by the CD access tests.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "aspi/binding.h"
#include "common/byte_order.h"
#include "platform/platform.h"
#include "tests/support/fake_passthru.h"

namespace cdrom_test {

// Runs `call` and returns what it printed.
inline std::string printed_by(const std::function<void()> &call) {
    ::testing::internal::CaptureStdout();
    call();
    return ::testing::internal::GetCapturedStdout();
}

// How many descriptors the process holds open (events are eventfds on POSIX), so an event left
// open by a call shows as one more afterwards. 0 where the build says the system lists none of
// this process's own (on Windows, and under Wine /proc/self/fd lists Wine's descriptors).
inline int open_descriptors() {
    if (!CDROM_TEST_LISTS_DESCRIPTORS) return 0;
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error))
        ++count;
    return count;
}

// A copy of a request block's field: the blocks are packed, so a reference may be misaligned.
template <typename T> T field(T value) { return value; }

// The CDB bytes of a recorded request, as sent.
inline std::vector<std::uint8_t> cdb_of(const RecordedRequest &request) {
    const std::size_t at = ThisExecLayout::cdb;
    return {request.bytes.begin() + at, request.bytes.begin() + at + 16};
}

// What an exec request must carry besides its unit and CDB, as the drive expects it.
struct ExecFields {
    std::uint8_t flags;
    std::uint32_t data_length;  // 0: no data phase, and no buffer named
    std::uint8_t sense_length;
    std::uint8_t cdb_length;
};

inline void expect_exec_fields(const SRB_ExecSCSICmd &srb, const ExecFields &expected) {
    EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(srb.SRB_Flags, expected.flags);
    EXPECT_EQ(field(srb.SRB_BufLen), expected.data_length);
    EXPECT_EQ(field(srb.SRB_BufPointer) != nullptr, expected.data_length > 0);
    EXPECT_EQ(srb.SRB_SenseLen, expected.sense_length);
    EXPECT_EQ(srb.SRB_CDBLen, expected.cdb_length);
    EXPECT_NE(field(srb.SRB_PostProc), nullptr);
    EXPECT_EQ(field(srb.SRB_Hdr_Rsvd), 0u);
}

// A library that never completes an exec request, but honours an abort at once (so the exchange
// can let the request go and nothing stays open).
inline void never_complete(FakePassThru &fake) {
    fake.on_exec = [](SRB_ExecSCSICmd &) { return std::uint32_t{SS_PENDING}; };
    fake.on_abort = [](SRB_Abort &abort) {
        FakePassThru::complete(*static_cast<SRB_ExecSCSICmd *>(abort.SRB_ToAbort), SS_ABORTED);
        return std::uint32_t{SS_COMP};
    };
}

// Every test of CD access runs against the fake; a short wait keeps time-outs quick.
class FakeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_aspi_timeout(std::chrono::milliseconds{20});
        descriptors_before = open_descriptors();
    }
    void TearDown() override {
        set_aspi_timeout(ASPI_TIMEOUT_MS);
        EXPECT_EQ(fake.loaded(), 0) << "every path releases its binding";
        EXPECT_EQ(open_descriptors(), descriptors_before) << "every path closes its events";
    }

    FakePassThru fake;
    int descriptors_before = 0;
};

}  // namespace cdrom_test
