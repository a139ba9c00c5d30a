// The OS layer's events and threads, as the exchange and the driver rely on them.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"

namespace {

using namespace std::chrono_literals;
using platform::WaitResult;

TEST(Events, AutoResetSignalWakesOneWaitAndIsConsumed) {
    platform::EventHandle e = platform::create_event();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(platform::wait_event(e, 0ms), WaitResult::timed_out) << "created unsignalled";
    platform::signal_event(e);
    EXPECT_EQ(platform::wait_event(e, 1000ms), WaitResult::signalled);
    EXPECT_EQ(platform::wait_event(e, 10ms), WaitResult::timed_out) << "the signal was consumed";
    platform::signal_event(e);
    platform::reset_event(e);
    EXPECT_EQ(platform::wait_event(e, 0ms), WaitResult::timed_out) << "reset drops a pending signal";
    platform::reset_event(e);  // resetting an unsignalled event does not block
    platform::close_event(e);
}

TEST(Events, SignalFromAnotherThreadEndsAWait) {
    platform::EventHandle e = platform::create_event();
    struct Arg {
        platform::EventHandle event;
    } arg{e};
    ASSERT_TRUE(platform::start_thread(
        [](void *p) -> std::uint32_t {
            platform::sleep_ms(20ms);
            platform::signal_event(static_cast<Arg *>(p)->event);
            return 0;
        },
        &arg));
    EXPECT_EQ(platform::wait_event(e, 10000ms), WaitResult::signalled);
    platform::close_event(e);
}

TEST(Threads, DetachedThreadRunsWithItsArgument) {
    std::atomic<int> seen{0};
    ASSERT_TRUE(platform::start_thread(
        [](void *p) -> std::uint32_t {
            static_cast<std::atomic<int> *>(p)->store(42, std::memory_order_release);
            return 0;
        },
        &seen));
    for (int i = 0; i < 1000 && seen.load(std::memory_order_acquire) == 0; ++i) platform::sleep_ms(5ms);
    EXPECT_EQ(seen.load(), 42);
}

TEST(Libraries, MissingLibraryAndEntryPoint) {
    EXPECT_EQ(platform::load_library("cddaplay-no-such-library"), nullptr);
}

}  // namespace
