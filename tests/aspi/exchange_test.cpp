// The submit-wait-give-up exchange, against the in-process fake library.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "aspi/binding.h"
#include "tests/support/fake_passthru.h"

namespace {

using namespace std::chrono_literals;

class Exchange : public ::testing::Test {
protected:
    void SetUp() override {
        set_aspi_timeout(200ms);
        ASSERT_EQ(bind_aspi(&binding), 1);
        command.cdb[0] = 0x12;
        command.cdb_length = 6;
        command.data = buffer;
        command.data_length = sizeof buffer;
        command.sense_length = 16;
        command.timeout = ASPI_TIMEOUT_MS;
        std::memset(buffer, 0xCC, sizeof buffer);
    }
    void TearDown() override {
        release_aspi(&binding);
        EXPECT_EQ(fake.loaded(), 0);
        set_aspi_timeout(ASPI_TIMEOUT_MS);
    }
    AspiOutcome run() {
        ::testing::internal::CaptureStdout();
        const AspiOutcome outcome = aspi_send(&binding, unit, command);
        printed = ::testing::internal::GetCapturedStdout();
        return outcome;
    }

    FakePassThru fake;
    AspiBinding binding{};
    AspiUnit unit{3, 0, 0};
    AspiCommand command{};
    std::uint8_t buffer[64];
    std::string printed;
};

TEST_F(Exchange, ErrorAnsweredAtOnceIsNotWaitedFor) {
    fake.on_exec = [](SRB_ExecSCSICmd &r) {
        r.SRB_Status = SS_NO_DEVICE;
        return std::uint32_t{SS_NO_DEVICE};
    };
    set_aspi_timeout(10s);  // a wait would show as a hanging test
    const AspiOutcome outcome = run();
    EXPECT_EQ(outcome.end, AspiEnd::failed);
    EXPECT_EQ(outcome.aspi_status, SS_NO_DEVICE);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(fake.requests().size(), 1u);
}

TEST_F(Exchange, PendingThenCompletedFromAnotherThreadBringsBackStatusSenseAndData) {
    std::thread library;
    fake.on_exec = [&](SRB_ExecSCSICmd &r) {
        library = std::thread([&r] {
            std::this_thread::sleep_for(20ms);
            std::memset(r.SRB_BufPointer, 0x5A, 36);  // a short transfer
            r.SenseArea[0] = 0x70;                    // fixed format: not ready, medium not present
            r.SenseArea[2] = 0x02;
            r.SenseArea[12] = 0x3A;
            r.SenseArea[13] = 0x01;
            FakePassThru::complete(r, SS_ERR, STATUS_CHKCOND);
        });
        return std::uint32_t{SS_PENDING};
    };
    const AspiOutcome outcome = run();
    library.join();
    EXPECT_EQ(printed, "");
    EXPECT_EQ(outcome.end, AspiEnd::refused);
    EXPECT_EQ(outcome.aspi_status, SS_ERR);
    EXPECT_EQ(outcome.target_status, STATUS_CHKCOND);
    EXPECT_EQ(std::tie(outcome.sense_key, outcome.asc, outcome.ascq), std::make_tuple(0x02, 0x3A, 0x01));
    EXPECT_EQ(outcome.transferred, 0u);
    EXPECT_EQ(buffer[35], 0x5A);
    EXPECT_EQ(buffer[36], 0x00) << "bytes the library did not write come back as zeros";
}

TEST_F(Exchange, StraySignalFromAnEarlierRequestDoesNotEndTheWait) {
    // A library that also signals the requests it answers at once, then never completes one.
    bool answer_at_once = true;
    fake.on_exec = [&](SRB_ExecSCSICmd &r) {
        if (!answer_at_once) return std::uint32_t{SS_PENDING};
        r.SRB_Status = SS_COMP;
        platform::signal_event(r.SRB_PostProc);
        return std::uint32_t{SS_COMP};
    };
    EXPECT_EQ(run().end, AspiEnd::done);
    answer_at_once = false;
    EXPECT_EQ(run().end, AspiEnd::timed_out);
    EXPECT_EQ(printed, "wait time out\n");
}

TEST_F(Exchange, NeverCompletedPrintsOnceAndSendsExactlyOneAbortNamingTheRequest) {
    fake.on_exec = [](SRB_ExecSCSICmd &) { return std::uint32_t{SS_PENDING}; };
    // A library that keeps the contract completes the aborted request before the abort returns.
    fake.on_abort = [](SRB_Abort &a) {
        FakePassThru::complete(*static_cast<SRB_ExecSCSICmd *>(a.SRB_ToAbort), SS_ABORTED);
        return std::uint32_t{SS_COMP};
    };
    const int kept_before = aspi_requests_kept_alive();
    EXPECT_EQ(run().end, AspiEnd::timed_out);
    EXPECT_EQ(printed, "wait time out\n");
    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].command, SC_ABORT_SRB);
    EXPECT_EQ(requests[1].abort.SRB_HaId, 3);
    const void *to_abort = requests[1].abort.SRB_ToAbort;  // packed: copy out first
    EXPECT_EQ(to_abort, requests[0].address);
    EXPECT_EQ(requests[1].abort.SRB_Flags, 0);
    EXPECT_EQ(aspi_requests_kept_alive(), kept_before) << "an aborted request is released";
    EXPECT_EQ(buffer[0], 0xCC);
}

// A kernel or port driver that gives a hung command up itself (before our own wait ends) answers
// with a host time-out: the same hang, said once, with no abort of ours and nothing re-sent.
TEST_F(Exchange, CommandTheSystemTimedOutIsOneTimeOutSaidOnceWithoutAnAbort) {
    for (const std::uint8_t host : {HASTAT_COMMAND_TIMEOUT, HASTAT_TIMEOUT}) {
        fake.on_exec = [host](SRB_ExecSCSICmd &r) {
            r.SRB_HaStat = host;
            r.SRB_Status = SS_ERR;
            return std::uint32_t{SS_ERR};
        };
        const std::size_t sent_before = fake.requests().size();
        EXPECT_EQ(run().end, AspiEnd::timed_out) << int{host};
        EXPECT_EQ(printed, "wait time out\n");
        EXPECT_EQ(fake.requests().size(), sent_before + 1) << "no abort follows";
    }
    fake.on_exec = [](SRB_ExecSCSICmd &r) {  // any other transport failure stays a plain failure
        r.SRB_HaStat = HASTAT_SEL_TO;
        r.SRB_Status = SS_ERR;
        return std::uint32_t{SS_ERR};
    };
    EXPECT_EQ(run().end, AspiEnd::failed);
    EXPECT_EQ(printed, "");
}

TEST_F(Exchange, GivenUpRequestStaysAliveWhileALateLibraryMayStillWriteIt) {
    SRB_ExecSCSICmd *held = nullptr;
    fake.on_exec = [&](SRB_ExecSCSICmd &r) {
        held = &r;
        return std::uint32_t{SS_PENDING};
    };
    fake.on_abort = [](SRB_Abort &) { return std::uint32_t{SS_COMP}; };  // accepted, not done
    const int kept_before = aspi_requests_kept_alive();
    EXPECT_EQ(run().end, AspiEnd::timed_out);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(aspi_requests_kept_alive(), kept_before + 1);

    // The binding goes; the library completes long after (ASan would flag a freed block).
    release_aspi(&binding);
    std::memset(held->SRB_BufPointer, 0x77, held->SRB_BufLen);
    FakePassThru::complete(*held, SS_COMP);
    for (std::uint8_t b : buffer) ASSERT_EQ(b, 0xCC) << "a late completion never reaches the caller's buffer";
}

TEST_F(Exchange, RequestsReuseOneBufferButNeverOneTheLibraryMayStillWrite) {
    std::vector<SRB_ExecSCSICmd *> seen;
    bool hold = false;
    fake.on_exec = [&](SRB_ExecSCSICmd &r) {
        seen.push_back(&r);
        if (hold) return std::uint32_t{SS_PENDING};
        std::memset(r.SRB_BufPointer, static_cast<int>(seen.size()), r.SRB_BufLen);
        return FakePassThru::complete(r, SS_COMP);
    };
    fake.on_abort = [](SRB_Abort &) { return std::uint32_t{SS_COMP}; };  // accepted, not done
    auto exchange_filling = [&](std::uint8_t expected) {
        std::memset(buffer, 0xCC, sizeof buffer);
        ASSERT_EQ(run().end, AspiEnd::done);
        for (std::uint8_t b : buffer) ASSERT_EQ(b, expected);
    };
    exchange_filling(1);
    exchange_filling(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], seen[1]) << "a request the library let go of serves the next one";
    const void *first_data = seen[0]->SRB_BufPointer, *second_data = seen[1]->SRB_BufPointer;
    EXPECT_EQ(first_data, second_data);

    hold = true;  // given up: the library keeps this one
    EXPECT_EQ(run().end, AspiEnd::timed_out);
    SRB_ExecSCSICmd *held = seen.back();
    hold = false;
    exchange_filling(4);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_NE(seen[3], held) << "a request the library may still write is never reused";
    const void *held_data = held->SRB_BufPointer, *next_data = seen[3]->SRB_BufPointer;
    EXPECT_NE(held_data, next_data);

    // The late completion of the given-up request reaches neither the next request nor the caller.
    std::memset(held->SRB_BufPointer, 0x77, held->SRB_BufLen);
    FakePassThru::complete(*held, SS_COMP);
    exchange_filling(5);
}

// ---- Straight into the caller's buffer ----

// A library that delivers `delivered` bytes of 0x5A, reporting the residual when asked to.
std::uint32_t deliver(SRB_ExecSCSICmd &r, std::uint32_t delivered) {
    std::memset(r.SRB_BufPointer, 0x5A, delivered);
    if (r.SRB_Flags & SRB_ENABLE_RESIDUAL_COUNT) r.SRB_BufLen -= delivered;
    return FakePassThru::complete(r, SS_COMP);
}

TEST_F(Exchange, DirectDataLandsInTheCallersBufferAndWhatWasNotDeliveredIsZero) {
    for (const bool reports_residual : {true, false}) {
        SCOPED_TRACE(reports_residual);
        fake.on_ha_inquiry = [reports_residual](SRB_HAInquiry &ha) {
            ha.HA_Unique[2] = reports_residual ? 0x02 : 0x00;
            ha.SRB_Status = SS_COMP;
            return std::uint32_t{SS_COMP};
        };
        release_aspi(&binding);  // a new binding asks the adapter afresh
        ASSERT_EQ(bind_aspi(&binding), 1);
        const std::size_t earlier = fake.requests().size();
        fake.on_exec = [this](SRB_ExecSCSICmd &r) {
            const void *data = r.SRB_BufPointer;
            EXPECT_EQ(data, buffer) << "no copy in between";
            return deliver(r, 36);
        };
        command.direct = true;
        for (int request = 0; request < 2; ++request) {
            std::memset(buffer, 0xCC, sizeof buffer);
            const AspiOutcome outcome = aspi_send(&binding, unit, command);
            EXPECT_FALSE(outcome.buffer_kept);
            EXPECT_EQ(outcome.end, AspiEnd::done);
            EXPECT_EQ(buffer[35], 0x5A);
            for (std::size_t i = 36; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << i;
            EXPECT_EQ(outcome.transferred, reports_residual ? 36u : sizeof buffer)
                << "moved as the library counts it";
        }
        std::size_t inquiries = 0;
        const auto requests = fake.requests();
        for (std::size_t i = earlier; i < requests.size(); ++i) inquiries += requests[i].command == SC_HA_INQUIRY;
        EXPECT_EQ(inquiries, 1u) << "the adapter is asked once per binding";
    }
}

TEST_F(Exchange, DirectRequestGivenUpWhileTheLibraryHoldsItTellsTheCallerToLeaveItsBuffer) {
    SRB_ExecSCSICmd *held = nullptr;
    fake.on_exec = [&](SRB_ExecSCSICmd &r) {
        held = &r;
        return std::uint32_t{SS_PENDING};
    };
    command.direct = true;
    AspiOutcome outcome = run();
    EXPECT_EQ(outcome.end, AspiEnd::timed_out);
    EXPECT_EQ(printed, "wait time out\n");
    EXPECT_TRUE(outcome.buffer_kept) << "the abort was accepted but not done";
    ASSERT_NE(held, nullptr);
    FakePassThru::complete(*held, SS_ABORTED);  // late, into memory kept for it

    fake.on_abort = [](SRB_Abort &a) {  // a library that completes the abort before returning
        FakePassThru::complete(*static_cast<SRB_ExecSCSICmd *>(a.SRB_ToAbort), SS_ABORTED);
        return std::uint32_t{SS_COMP};
    };
    outcome = run();
    EXPECT_EQ(outcome.end, AspiEnd::timed_out);
    EXPECT_FALSE(outcome.buffer_kept);
}

TEST(ExchangeConstants, ProductWaitsTenSeconds) { EXPECT_EQ(ASPI_TIMEOUT_MS, std::chrono::milliseconds{10000}); }

}  // namespace
