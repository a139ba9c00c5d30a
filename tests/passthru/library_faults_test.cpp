// Aborts and every fault knob of CDDAPLAY_FAULTS, through the library's exported entry points.
#include <filesystem>
#include <string>
#include <thread>

#include "passthru/image/builtin_disc.h"
#include "platform/platform.h"
#include "tests/passthru/library_fixture.h"

namespace passthru_test {
namespace {

// How long a request that must not complete is watched. A hang never ends, so no timing is judged.
constexpr auto kWatch = 100ms;

// ---- Abort ----

TEST(PassThruAbort, NeverCompletingRequestIsAbortedAndNeverWrittenAfterwards) {
    PassThru library("builtin", "hang=readcd#1");
    ASSERT_TRUE(library.ready());
    Request request(read_cd_cdb(0, 10), 10 * 2352);
    ASSERT_EQ(library.send(&request.srb), SS_PENDING);
    EXPECT_FALSE(request.wait(kWatch));
    EXPECT_EQ(request.status(), SS_PENDING);

    EXPECT_EQ(library.send(&request.srb), SS_INVALID_SRB) << "a pending block is not accepted twice";
    EXPECT_EQ(request.status(), SS_PENDING);

    EXPECT_EQ(abort_request(library, request), SS_COMP);
    EXPECT_EQ(request.status(), SS_ABORTED);
    EXPECT_TRUE(request.signalled()) << "signalled before the abort returned";
    EXPECT_FALSE(request.wait(kWatch)) << "and only once";
    EXPECT_TRUE(request.untouched_from(0));
    EXPECT_EQ(abort_request(library, request), SS_ABORT_FAIL) << "nothing left to abort";

    Request next(read_cd_cdb(10, 1), 2352);  // the worker is free again
    EXPECT_EQ(run(library, next), SS_COMP);
}

TEST(PassThruAbort, AbortedRequestsBufferKeepsItsCanaryPastTheLatency) {
    PassThru library("builtin", "latency=150");
    ASSERT_TRUE(library.ready());
    Request request(read_cd_cdb(0, 10), 10 * 2352);
    ASSERT_EQ(library.send(&request.srb), SS_PENDING);
    EXPECT_EQ(abort_request(library, request), SS_COMP);
    EXPECT_EQ(request.status(), SS_ABORTED);
    EXPECT_TRUE(request.signalled());
    platform::sleep_ms(400ms);  // well past the injected latency
    EXPECT_TRUE(request.untouched_from(0));
    EXPECT_EQ(request.status(), SS_ABORTED);
    EXPECT_FALSE(request.signalled());
}

TEST(PassThruAbort, QueuedRequestIsAbortedWhileTheRunningOneCompletes) {
    PassThru library("builtin", "latency=100");
    ASSERT_TRUE(library.ready());
    Request first(read_cd_cdb(0, 1), 2352);
    Request second(read_cd_cdb(1, 1), 2352);
    ASSERT_EQ(library.send(&first.srb), SS_PENDING);
    ASSERT_EQ(library.send(&second.srb), SS_PENDING);
    EXPECT_EQ(abort_request(library, second), SS_COMP);
    EXPECT_EQ(second.status(), SS_ABORTED);
    EXPECT_TRUE(first.wait());
    EXPECT_EQ(first.status(), SS_COMP);
    EXPECT_TRUE(second.untouched_from(0));
}

TEST(PassThruAbort, AbortOfWhatTheLibraryDoesNotHold) {
    PassThru library("builtin");
    ASSERT_TRUE(library.ready());
    Request done(inquiry_cdb(), 128);
    EXPECT_EQ(run(library, done), SS_COMP);
    EXPECT_EQ(abort_request(library, done), SS_ABORT_FAIL);
    EXPECT_EQ(done.status(), SS_COMP) << "a finished request is not touched";

    SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    EXPECT_EQ(library.send(&abort), SS_INVALID_SRB) << "nothing named";
    abort.SRB_ToAbort = &done.srb;
    abort.SRB_HaId = 4;
    EXPECT_EQ(library.send(&abort), SS_INVALID_HA);
}

TEST(PassThruAbort, UnloadCompletesAHangingRequest) {
#if defined(_WIN32)
    GTEST_SKIP() << "a running Windows worker keeps the DLL loaded until it is aborted";
#else
    PassThru library("builtin", "hang=tur");
    ASSERT_TRUE(library.ready());
    Request running(tur_cdb(), 0);
    Request queued(tur_cdb(), 0);
    ASSERT_EQ(library.send(&running.srb), SS_PENDING);
    ASSERT_EQ(library.send(&queued.srb), SS_PENDING);
    library.unload();
    // Each is completed exactly once: the one the worker had begun is cancelled and ends as a
    // failure, one still queued is aborted (the worker may not have begun the first yet).
    EXPECT_TRUE(running.signalled());
    EXPECT_FALSE(running.signalled());
    EXPECT_TRUE(running.status() == SS_ABORTED ||
                (running.status() == SS_ERR && running.srb.SRB_HaStat == HASTAT_COMMAND_TIMEOUT))
        << int(running.status());
    EXPECT_TRUE(queued.signalled());
    EXPECT_FALSE(queued.signalled());
    EXPECT_EQ(queued.status(), SS_ABORTED);
    EXPECT_FALSE(test_support::library_is_loaded(platform::aspi_library_name()));
#endif
}

TEST(PassThruAbort, ACommandStuckInTheSystemHoldsUpNeitherTheAbortNorTheUnload) {
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows worker is ended by the unload itself";
#else
    TempDir dir;
    const std::string trace = dir.write("trace.txt", "");
    PassThru library("builtin", ("hang=tur;stuck;trace=" + trace).c_str());
    ASSERT_TRUE(library.ready());
    Request stuck(tur_cdb(), 0);
    ASSERT_EQ(library.send(&stuck.srb), SS_PENDING);
    // The trace gets its line as the drive takes the command: the worker is inside it from then on.
    while (std::filesystem::file_size(trace) == 0) std::this_thread::yield();
    EXPECT_EQ(abort_request(library, stuck), SS_COMP);
    EXPECT_TRUE(stuck.signalled());
    EXPECT_EQ(stuck.status(), SS_ABORTED);
    library.unload();  // returns although the worker never will
    EXPECT_FALSE(stuck.signalled()) << "nothing more reaches a request given up";
    EXPECT_TRUE(test_support::library_is_loaded(platform::aspi_library_name()))
        << "the code the stuck worker will return into stays mapped";
#endif
}

// On Windows the library stays pinned in this process afterwards: the test runs in a process of
// its own (see ALONE in the build).
TEST(PassThruAbort, AWorkerLeftBehindByAnUnloadWithoutAbortReturnsIntoCodeStillThere) {
    TempDir dir;
    const std::string trace = dir.write("trace.txt", "");
    const std::string wake = (std::filesystem::path(trace).parent_path() / "wake").string();
    PassThru library("builtin", ("hang=tur;stuck=" + wake + ";trace=" + trace).c_str());
    ASSERT_TRUE(library.ready());
    Request stuck(tur_cdb(), 0);
    ASSERT_EQ(library.send(&stuck.srb), SS_PENDING);
    while (std::filesystem::file_size(trace) == 0) std::this_thread::yield();
    // The system call returns at last, normally once the unload has waited for the worker in vain
    // (sooner only tests less).
    std::thread waker([&dir] {
        platform::sleep_ms(3000ms);
        dir.write("wake", "");
    });
    library.unload();  // no abort first
    waker.join();
    // The worker finishes the request it held and leaves its loop: all in the library's code, which
    // would fault here had the unload unmapped it under the worker.
    EXPECT_TRUE(stuck.wait());
    platform::sleep_ms(200ms);
}

// ---- Fault knobs ----

// `request` hangs: the library holds it pending, it does not complete while watched, and an abort
// ends it.
void expect_hangs(PassThru &library, Request &request) {
    ASSERT_EQ(library.send(&request.srb), SS_PENDING);
    EXPECT_FALSE(request.wait(kWatch));
    EXPECT_EQ(abort_request(library, request), SS_COMP);
}

TEST(PassThruFaults, FailReadGivesAnUnrecoveredReadErrorNamingTheFirstBadSector) {
    PassThru library("builtin", "fail_read=100-120");
    ASSERT_TRUE(library.ready());
    Request failing(read_cd_cdb(95, 10), 10 * 2352);
    EXPECT_EQ(run(library, failing), SS_ERR);
    EXPECT_EQ(failing.srb.SRB_TargStat, STATUS_CHKCOND);
    EXPECT_EQ(failing.sense_key(), 0x03);
    EXPECT_EQ(failing.asc(), 0x11);
    EXPECT_EQ(failing.ascq(), 0x00);
    EXPECT_EQ(failing.srb.SenseArea[0], 0xF0) << "information field valid";
    EXPECT_EQ(failing.srb.SenseArea[6], 100);
    for (const std::int32_t lba : {90, 121}) {
        Request fine(read_cd_cdb(lba, 10), 10 * 2352);
        EXPECT_EQ(run(library, fine), SS_COMP) << lba;
    }
    Request inside(read_cd_cdb(120, 1), 2352);
    EXPECT_EQ(run(library, inside), SS_ERR);
}

TEST(PassThruFaults, HangCatchesOnlyTheNthCommandOfItsKind) {
    PassThru library("builtin", "hang=readcd#3");
    ASSERT_TRUE(library.ready());
    Request inquiry(inquiry_cdb(), 128);  // other kinds do not count
    EXPECT_EQ(run(library, inquiry), SS_COMP);
    for (int i = 0; i < 2; ++i) {
        Request read(read_cd_cdb(i, 1), 2352);
        EXPECT_EQ(run(library, read), SS_COMP);
    }
    Request third(read_cd_cdb(2, 1), 2352);
    expect_hangs(library, third);
    Request fourth(read_cd_cdb(3, 1), 2352);
    EXPECT_EQ(run(library, fourth), SS_COMP);
}

TEST(PassThruFaults, HangOfEveryCommandOfAKindAndOfTheNthCommandOfAnyKind) {
    {
        PassThru library("builtin", "hang=tur");
        ASSERT_TRUE(library.ready());
        for (int i = 0; i < 2; ++i) {
            Request tur(tur_cdb(), 0);
            expect_hangs(library, tur);
        }
        Request inquiry(inquiry_cdb(), 128);
        EXPECT_EQ(run(library, inquiry), SS_COMP);
    }
    PassThru library("builtin", "hang=any#2");
    ASSERT_TRUE(library.ready());
    Request first(inquiry_cdb(), 128);
    EXPECT_EQ(run(library, first), SS_COMP);
    Request second(read_toc_cdb(false, 1, 2048), 2048);
    expect_hangs(library, second);
}

TEST(PassThruFaults, HangLbaCatchesReadsTouchingTheRange) {
    PassThru library("builtin", "hang_lba=300-310");
    ASSERT_TRUE(library.ready());
    Request touching(read_cd_cdb(295, 10), 10 * 2352);
    expect_hangs(library, touching);
    EXPECT_TRUE(touching.untouched_from(0));
    Request after(read_cd_cdb(311, 10), 10 * 2352);
    EXPECT_EQ(run(library, after), SS_COMP);
}

TEST(PassThruFaults, NotReadyUnitAnswersNoMediumButStillIdentifies) {
    {
        PassThru library("builtin", "units=2;not_ready=1");
        ASSERT_TRUE(library.ready());
        Request ready(tur_cdb(), 0, 0);
        EXPECT_EQ(run(library, ready), SS_COMP);
        Request inquiry(inquiry_cdb(), 128, 1);
        EXPECT_EQ(run(library, inquiry), SS_COMP);
        EXPECT_EQ(inquiry.data()[0], 0x05);
        for (const Cdb &cdb : {tur_cdb(), read_toc_cdb(false, 1, 2048), read_cd_cdb(0, 1)}) {
            Request request(cdb, cdb.bytes[0] == 0x00 ? 0 : 2352, 1);
            EXPECT_EQ(run(library, request), SS_ERR);
            EXPECT_EQ(request.srb.SRB_TargStat, STATUS_CHKCOND);
            EXPECT_EQ(request.sense_key(), 0x02);
            EXPECT_EQ(request.asc(), 0x3A);
            EXPECT_EQ(request.ascq(), 0x00);
        }
    }
    PassThru all("builtin", "not_ready");
    Request tur(tur_cdb(), 0);
    ASSERT_TRUE(all.ready());
    EXPECT_EQ(run(all, tur), SS_ERR);
}

TEST(PassThruFaults, ImmediateAnswersEverythingAtOnceWithoutSignalling) {
    PassThru library("builtin", "immediate;hang=readcd#2");
    ASSERT_TRUE(library.ready());
    Request inquiry(inquiry_cdb(), 128);
    EXPECT_EQ(library.send(&inquiry.srb), SS_COMP);
    EXPECT_EQ(inquiry.status(), SS_COMP);
    EXPECT_EQ(inquiry.data()[0], 0x05);
    EXPECT_FALSE(inquiry.signalled());

    Request read(read_cd_cdb(0, 2), 2 * 2352);
    EXPECT_EQ(library.send(&read.srb), SS_COMP);
    std::vector<std::uint8_t> expected(2352);
    passthru::image::builtin::sector(1, expected.data());
    EXPECT_EQ(std::memcmp(read.data() + 2352, expected.data(), 2352), 0);

    Request hanging(read_cd_cdb(0, 1), 2352);  // nothing could abort it: it fails at once
    EXPECT_EQ(library.send(&hanging.srb), SS_ERR);
    EXPECT_EQ(hanging.srb.SRB_HaStat, HASTAT_COMMAND_TIMEOUT);
    EXPECT_FALSE(hanging.signalled());

    Request outside(read_cd_cdb(5000, 1), 2352);
    EXPECT_EQ(library.send(&outside.srb), SS_ERR);
    EXPECT_EQ(outside.asc(), 0x21);
    EXPECT_FALSE(outside.signalled());
}

TEST(PassThruFaults, LatencyStillCompletesNormally) {
    PassThru library("builtin", "latency=30");
    ASSERT_TRUE(library.ready());
    Request request(read_cd_cdb(7, 2), 2 * 2352);
    EXPECT_EQ(run(library, request), SS_COMP);
    EXPECT_TRUE(request.untouched_from(2 * 2352));
}

TEST(PassThruFaults, InquiryVersionAndTargetStatus) {
    {
        PassThru library("builtin");
        ASSERT_TRUE(library.ready());
        Request inquiry(inquiry_cdb(), 128);
        EXPECT_EQ(run(library, inquiry), SS_COMP);
        EXPECT_EQ(inquiry.data()[2], 5) << "an SPC-3 unit unless told otherwise";
        EXPECT_EQ(inquiry.srb.SRB_TargStat, 0);
    }
    PassThru library("builtin", "ansi=0;inquiry_targstat=2");
    ASSERT_TRUE(library.ready());
    Request inquiry(inquiry_cdb(), 128);
    EXPECT_EQ(run(library, inquiry), SS_COMP);
    EXPECT_EQ(inquiry.data()[2], 0);
    EXPECT_EQ(inquiry.srb.SRB_TargStat, 2);
    Request tur(tur_cdb(), 0);  // only INQUIRY carries the quirk
    EXPECT_EQ(run(library, tur), SS_COMP);
    EXPECT_EQ(tur.srb.SRB_TargStat, 0);
}

TEST(PassThruFaults, MalformedItemsAreReportedOnStandardErrorAndTheRestApplies) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    PassThru library("builtin", "latency=abc; units=3 ;bogus;hang=sometimes");
    ASSERT_TRUE(library.ready());
    EXPECT_EQ(library.support_word(), 0x0101u);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("latency=abc"), std::string::npos) << err;
    EXPECT_NE(err.find("bogus"), std::string::npos) << err;
    EXPECT_NE(err.find("hang=sometimes"), std::string::npos) << err;
    EXPECT_EQ(err.find("units"), std::string::npos) << err;
    Request third_unit(inquiry_cdb(), 128, 2);
    EXPECT_EQ(run(library, third_unit), SS_COMP);
}

}  // namespace
}  // namespace passthru_test
