// The playback driver and fetch worker against a fake sector reader and a fake wave device.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "cdrom/cdrom_types.h"
#include "playback/driver.h"
#include "tests/playback/driver_fakes.h"

namespace {

using namespace std::chrono_literals;

constexpr std::int32_t L = 1000;  // first sector of every range

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        fake_reader.reset();
        fake_wave.reset();
        play_running = 0;
        fetch_running = 0;
        request.stop = 0;
        request.ended = 0;
    }

    // Runs play_thread on this thread for [L, L + sectors) and returns what it printed.
    std::string play(std::int32_t sectors) {
        request.start_lba = L;
        request.end_lba = L + sectors;
        ::testing::internal::CaptureStdout();
        play_thread(&request);
        return ::testing::internal::GetCapturedStdout();
    }

    // The bytes the device should receive for sectors [from, from + count).
    static std::vector<std::uint8_t> disc(std::int32_t from, std::int32_t count) {
        std::vector<std::uint8_t> out;
        for (std::int32_t s = from; s < from + count; ++s)
            for (std::int32_t i = 0; i < SECTOR_BYTES; ++i) out.push_back(sector_byte(s, i));
        return out;
    }

    static std::vector<std::uint8_t> played() {
        std::vector<std::uint8_t> all;
        for (auto &w : fake_wave.writes) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
        return all;
    }

    static std::vector<int> slots() {
        std::vector<int> out;
        for (auto &w : fake_wave.writes) out.push_back(w.slot);
        return out;
    }

    // The reader calls a chunk of n sectors from `lba` makes: full groups of 10, then the rest
    // (an empty call when n is a multiple of 10).
    static void expect_chunk_reads(std::vector<ReadCall> &calls, std::int32_t lba, std::int32_t n) {
        for (std::int32_t g = 0; g <= n / 10; ++g) {
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(calls.front().lba, lba + 10 * g);
            EXPECT_EQ(calls.front().count, g < n / 10 ? 10 : n % 10);
            calls.erase(calls.begin());
        }
    }

    PlayRequest request{2, 1, 0, 0, 0, {0}, {0}};
};

TEST_F(Driver, ChunksAndGroupsCoverTheRangeExactlyAndPlayItInOrder) {
    struct Range {
        std::int32_t sectors;
        std::vector<std::int32_t> chunks;
        std::vector<int> slots;
    };
    const Range ranges[] = {
        {0, {0}, {}},  // an empty chunk is fetched but queues nothing
        {5, {5}, {1}},
        {80, {80}, {1}},
        {90, {80, 10}, {1, 2}},
        {183, {80, 80, 23}, {1, 2, 1}},
        {-10, {0}, {}},  // an end before the start plays nothing
        {-200, {0}, {}},
    };
    for (const Range &r : ranges) {
        SCOPED_TRACE(r.sectors);
        SetUp();
        EXPECT_EQ(play(r.sectors), "now playing...\nFinished.\n");
        auto calls = fake_reader.calls();
        std::int32_t lba = L;
        for (std::int32_t chunk : r.chunks) {
            expect_chunk_reads(calls, lba, chunk);
            lba += chunk;
        }
        EXPECT_TRUE(calls.empty()) << "no read outside the range";
        EXPECT_EQ(slots(), r.slots);
        EXPECT_EQ(played(), disc(L, r.sectors > 0 ? r.sectors : 0)) << "every sector once, in order";
        EXPECT_EQ(request.stop.load(), 1);
        EXPECT_EQ(request.ended.load(), 1);
        EXPECT_EQ(fake_wave.closes, 1);
        EXPECT_EQ(fake_reader.opens, 1);
        EXPECT_EQ(fake_reader.closes, 1);
        EXPECT_EQ(play_running.load(), 0);
    }
}

TEST_F(Driver, LastChunkQueuesOnlyItsOwnSectorsEvenInAUsedSlot) {
    play(183);
    ASSERT_EQ(fake_wave.writes.size(), 3u);
    EXPECT_EQ(fake_wave.writes[2].bytes.size(), 23u * SECTOR_BYTES);
}

TEST_F(Driver, FailedGroupIsReadAgainSectorBySectorSoOnlyTheBadSectorIsSilent) {
    fake_reader.fail_from = L + 25;  // inside the third group of the first chunk
    fake_reader.fail_to = L + 25;
    play(90);
    std::vector<std::uint8_t> expected = disc(L, 90);
    std::fill(expected.begin() + 25 * SECTOR_BYTES, expected.begin() + 26 * SECTOR_BYTES, 0);
    EXPECT_EQ(played(), expected) << "no 0xEE the failed reads scribbled, no neighbour lost";
    auto calls = fake_reader.calls();
    ASSERT_GE(calls.size(), 13u);
    EXPECT_EQ(calls[2].lba, L + 20);
    EXPECT_EQ(calls[2].count, 10);
    for (std::int32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(calls[3 + i].lba, L + 20 + i);
        EXPECT_EQ(calls[3 + i].count, 1);
    }
    EXPECT_EQ(calls[13].lba, L + 30) << "then on with the next group";
}

TEST_F(Driver, ShortTransferFromDataSectorsLeavesSilenceNotTheSlotsEarlierChunk) {
    fake_reader.short_from = L + 168;  // two sectors that answer with 2048 bytes each
    fake_reader.short_to = L + 169;
    play(183);  // the third chunk (L+160 on) refills slot 1, which held the first chunk
    std::vector<std::uint8_t> expected = disc(L, 183);
    std::uint8_t *group = expected.data() + 160 * SECTOR_BYTES;
    std::fill(group + 8 * SECTOR_BYTES, group + 10 * SECTOR_BYTES, 0);
    for (std::int32_t s = 0; s < 2; ++s)
        for (std::int32_t i = 0; i < 2048; ++i) group[8 * SECTOR_BYTES + s * 2048 + i] = sector_byte(L + 168 + s, i);
    EXPECT_EQ(played(), expected);
}

TEST_F(Driver, ABufferTheLibraryKeptAfterAGivenUpReadIsNeverPlayedOrReusedAgain) {
    // The third group of the first chunk is given up while the library keeps its buffer; from then
    // on every read makes the library write late into that buffer, while four more chunks are read.
    fake_reader.kept_from = L + 20;
    fake_reader.kept_to = L + 20;
    EXPECT_EQ(play(400), "now playing...\nFinished.\n");
    std::vector<std::uint8_t> expected = disc(L, 400);
    std::fill(expected.begin() + 20 * SECTOR_BYTES, expected.begin() + 30 * SECTOR_BYTES, 0);
    EXPECT_EQ(played(), expected) << "the given-up group is silence, no late write is heard";
    EXPECT_EQ(fake_reader.kept_groups.size(), 1u);
}

TEST_F(Driver, AGroupThatGotNoAnswerIsSilentAndNotReadAgain) {
    fake_reader.lost_from = L + 25;  // the third group of the first chunk times out
    fake_reader.lost_to = L + 25;
    fake_reader.fail_from = L + 45;  // the fifth is refused: that one is read again
    fake_reader.fail_to = L + 45;
    play(80);
    std::vector<std::uint8_t> expected = disc(L, 80);
    std::fill(expected.begin() + 20 * SECTOR_BYTES, expected.begin() + 30 * SECTOR_BYTES, 0);
    std::fill(expected.begin() + 45 * SECTOR_BYTES, expected.begin() + 46 * SECTOR_BYTES, 0);
    EXPECT_EQ(played(), expected) << "no 0xEE from the reads that failed";
    const auto calls = fake_reader.calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[2].lba, L + 20);
    EXPECT_EQ(calls[3].lba, L + 30) << "straight on with the next group: no sector of L+20 asked again";
    const auto singles = std::count_if(calls.begin(), calls.end(), [](const ReadCall &c) { return c.count == 1; });
    EXPECT_EQ(singles, 10) << "only the refused group's sectors";
}

TEST_F(Driver, ReReadTimeCountsFromTheChunksFirstRead) {
    fake_reader.read_delay = 40ms;  // the first 8 groups alone take at least 320 ms
    fake_reader.fail_from = L + 75;
    fake_reader.fail_to = L + 75;
    play(80);
    for (const ReadCall &c : fake_reader.calls()) EXPECT_NE(c.count, 1) << "re-read of " << c.lba;
    std::vector<std::uint8_t> expected = disc(L, 80);
    std::fill(expected.begin() + 70 * SECTOR_BYTES, expected.end(), 0);
    EXPECT_EQ(played(), expected);
}

TEST_F(Driver, ReReadsOfAChunkStopWhenTheirTimeIsSpent) {
    fake_reader.fail_from = L;  // a drive that fails everything, slowly
    fake_reader.fail_to = L + 79;
    fake_reader.read_delay = 100ms;
    play(80);
    // 8 groups of 10 and up to 80 single re-reads would take 8.8 s; the re-reads stop once they
    // have taken 300 ms, so the chunk is queued (as silence) long before.
    EXPECT_LT(fake_reader.calls().size(), 8u + 9u + 40u);
    ASSERT_EQ(fake_wave.writes.size(), 1u);
    EXPECT_EQ(fake_wave.writes[0].bytes, std::vector<std::uint8_t>(80 * SECTOR_BYTES, 0));
}

TEST_F(Driver, DriveThatRefusesTheSpeedStillPlaysAndIsNotSetBack) {
    fake_reader.speed_result = false;
    request.read_speed = 4 * 176;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(play(90), "now playing...\nFinished.\n");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(played(), disc(L, 90));
    EXPECT_EQ(fake_reader.speeds, std::vector<int>{4 * 176}) << "nothing to set back";
}

TEST_F(Driver, WaitsUntilEverythingQueuedHasBeenHeardBeforeItFinishes) {
    fake_wave.tail_polls = 2;  // the device still sounds after its last buffer was taken
    EXPECT_EQ(play(183), "now playing...\nFinished.\n");
    ASSERT_GE(fake_wave.log.size(), 3u);
    EXPECT_EQ(fake_wave.log.back(), "close");
    EXPECT_EQ(fake_wave.log[fake_wave.log.size() - 2], "idle") << "closed only once nothing was left to hear";
}

TEST_F(Driver, StopWhileWaitingForASlotEndsPlaybackAndCutsTheQueue) {
    fake_wave.auto_complete = false;  // the device never finishes a buffer
    std::thread user([&] {
        while ([] {
            std::lock_guard lock(fake_wave.mutex);
            return fake_wave.writes.size() < 2;
        }())
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(50ms);
        request.stop.store(1);
    });
    EXPECT_EQ(play(400), "now playing...\nFinished.\n");
    user.join();
    EXPECT_EQ(fake_wave.writes.size(), 2u);
    EXPECT_EQ(fake_wave.closes, 1);
    EXPECT_EQ(request.ended.load(), 1);
}

TEST_F(Driver, StopDuringAFetchEndsItBetweenCommandsAndQueuesNothingMore) {
    fake_reader.gate_closed = true;
    std::thread user([&] {
        for (;;) {
            {
                std::lock_guard lock(fake_reader.mutex);
                if (fake_reader.reads_waiting > 0) break;
            }
            std::this_thread::sleep_for(2ms);
        }
        request.stop.store(1);
        fake_reader.open_gate();
    });
    EXPECT_EQ(play(400), "now playing...\nFinished.\n");
    user.join();
    EXPECT_TRUE(fake_wave.writes.empty()) << "the interrupted chunk is not queued";
    EXPECT_EQ(fake_reader.calls().size(), 1u) << "no command after the one running at the stop";
    EXPECT_EQ(request.ended.load(), 1);
}

TEST_F(Driver, DeviceThatStopsWorkingEndsPlaybackWithoutReadingTheRest) {
    fake_wave.auto_complete = true;
    fake_wave.fail_after_writes = 2;
    EXPECT_EQ(play(400), "now playing...\nFinished.\n");
    EXPECT_EQ(fake_wave.writes.size(), 2u);
    EXPECT_EQ(fake_reader.calls().size(), 18u) << "two chunks read, nothing after the failure";
    EXPECT_EQ(fake_wave.closes, 1);
    EXPECT_EQ(request.ended.load(), 1);

    // Failing while the last audio plays out: no waiting for sound that will never come.
    SetUp();
    fake_wave.tail_polls = 100;  // 20 s of polling if the failure went unnoticed
    fake_wave.fail_after_writes = 3;
    EXPECT_EQ(play(183), "now playing...\nFinished.\n");
    EXPECT_EQ(fake_wave.writes.size(), 3u);
    EXPECT_GE(fake_wave.tail_polls, 99);
}

TEST_F(Driver, WorkerThatFindsTheGuardTakenWaitsInsteadOfLosingItsChunk) {
    fetch_running = 1;  // as if an earlier worker had not yet let go of it
    std::thread earlier_worker([] {
        std::this_thread::sleep_for(150ms);
        fetch_running.store(0);
    });
    EXPECT_EQ(play(90), "now playing...\nFinished.\n");
    earlier_worker.join();
    EXPECT_EQ(played(), disc(L, 90));
}

TEST_F(Driver, StartUpFailuresEndPlaybackAtOnce) {
    fake_wave.open_result = false;
    EXPECT_EQ(play(183), "fail to get the wave device\n");
    EXPECT_TRUE(fake_reader.calls().empty());
    EXPECT_EQ(fake_reader.closes, 1) << "the reader is released";
    EXPECT_EQ(request.ended.load(), 1);
    EXPECT_EQ(play_running.load(), 0);

    SetUp();
    fake_reader.open_result = false;  // the reader printed its own message
    EXPECT_EQ(play(183), "");
    EXPECT_EQ(fake_wave.opens, 0);
    EXPECT_EQ(fake_reader.closes, 0);
    EXPECT_EQ(request.ended.load(), 1);
}

TEST_F(Driver, SecondDriverLeavesItsRequestAlone) {
    play_running = 1;
    EXPECT_EQ(play(183), "");
    EXPECT_EQ(request.ended.load(), 0);
    EXPECT_EQ(request.stop.load(), 0);
    EXPECT_EQ(fake_reader.opens, 0);
    EXPECT_EQ(fake_wave.opens, 0);
    EXPECT_EQ(play_running.load(), 1);
}

}  // namespace
