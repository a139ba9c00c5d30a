// zrSound's slot logic, shared by every back end, against a fake device.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "playback/wave_out.h"
#include "tests/wave/fake_wave_device.h"

namespace {

using Calls = std::vector<std::string>;

class WaveSlots : public ::testing::Test {
protected:
    void SetUp() override { g_fake = &fake; }
    void TearDown() override {
        sound.close();
        g_fake = nullptr;
    }
    void open() {
        ASSERT_EQ(sound.open(), 1);
        fake.calls.clear();
    }

    FakeWave fake;
    std::uint8_t buffer1[16] = {1};
    std::uint8_t buffer2[16] = {2};
    zrSound sound;
};

TEST_F(WaveSlots, SlotsAreTakenByWritesAndFreedOnlyAfterTheirCompletion) {
    EXPECT_EQ(sound.free_slot(), 1);
    open();
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_EQ(sound.write(1, buffer1, 16), 1);
    EXPECT_EQ(sound.free_slot(), 2);
    EXPECT_EQ(sound.write(2, buffer2, 12), 1);
    EXPECT_EQ(sound.free_slot(), 0);
    EXPECT_EQ(fake.calls, (Calls{"queue 1 16", "queue 2 12"}));
    EXPECT_EQ(fake.queued_data, (std::vector<const std::uint8_t *>{buffer1, buffer2}));

    // The completion only records: the unprepare runs on the driver's next call.
    fake_complete(&sound, 2);
    EXPECT_EQ(fake.calls.size(), 2u);
    EXPECT_EQ(sound.free_slot(), 2);
    EXPECT_EQ(fake.calls.back(), "unprepare 2");

    fake_complete(&sound, 1);
    EXPECT_EQ(sound.free_slot(), 1);  // both free: slot 1 first
    EXPECT_EQ(sound.write(1, buffer1, 16), 1);
    EXPECT_EQ(fake.calls, (Calls{"queue 1 16", "queue 2 12", "unprepare 2", "unprepare 1", "queue 1 16"}));
}

TEST_F(WaveSlots, BadWritesChangeNothing) {
    open();
    EXPECT_EQ(sound.write(0, buffer1, 16), 0);
    EXPECT_EQ(sound.write(3, buffer1, 16), 0);
    EXPECT_EQ(sound.write(1, buffer1, 0), 0);
    EXPECT_EQ(sound.write(2, buffer1, -4), 0);
    EXPECT_EQ(sound.write(1, nullptr, 16), 0);  // a null buffer would read as a free slot
    EXPECT_EQ(fake.calls, Calls{});
    EXPECT_EQ(sound.free_slot(), 1);

    // A slot the device still owns is not queued again.
    EXPECT_EQ(sound.write(1, buffer1, 16), 1);
    EXPECT_EQ(sound.write(1, buffer2, 16), 0);
    EXPECT_EQ(fake.calls, Calls{"queue 1 16"});
}

TEST_F(WaveSlots, ClosedObjectAcceptsWritesAndDoesNothing) {
    EXPECT_EQ(sound.write(3, buffer1, 16), 1);
    EXPECT_EQ(sound.write(1, buffer1, 16), 1);
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_FALSE(sound.audio_pending());
    sound.close();

    fake.fail_open = true;
    EXPECT_EQ(sound.open(), 0);
    EXPECT_EQ(sound.write(1, buffer1, 16), 1);
    sound.close();
    EXPECT_EQ(fake.calls, Calls{"open"});
}

TEST_F(WaveSlots, OnlyDoneMessagesNamingASlotFreeIt) {
    open();
    ASSERT_EQ(sound.write(1, buffer1, 16), 1);
    auto instance = reinterpret_cast<std::uintptr_t>(&sound);
    zrSound::on_wave_done(nullptr, wave_message::open, instance, fake_header(1), 0);
    zrSound::on_wave_done(nullptr, wave_message::close, instance, fake_header(1), 0);
    zrSound::on_wave_done(nullptr, 0x3C0, instance, fake_header(1), 0);
    zrSound::on_wave_done(nullptr, wave_message::done, instance, fake_header(3), 0);
    EXPECT_EQ(sound.free_slot(), 2);
    EXPECT_EQ(fake.calls, Calls{"queue 1 16"});
}

TEST_F(WaveSlots, RefusedBufferLeavesTheSlotFree) {
    open();
    fake.refuse_queue = true;
    EXPECT_EQ(sound.write(1, buffer1, 16), 0);
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_FALSE(sound.audio_pending());
}

TEST_F(WaveSlots, AudioPendingUntilSlotsAreFreeAndTheDeviceHasPlayedOut) {
    open();
    EXPECT_FALSE(sound.audio_pending());
    ASSERT_EQ(sound.write(1, buffer1, 16), 1);
    fake.playing = true;
    EXPECT_TRUE(sound.audio_pending());
    fake_complete(&sound, 1);
    EXPECT_TRUE(sound.audio_pending());  // still in the device
    fake.playing = false;
    EXPECT_FALSE(sound.audio_pending());
    EXPECT_EQ(sound.free_slot(), 1);
}

TEST_F(WaveSlots, CloseStopsHandsBackBothSlotsAndRunsOnce) {
    open();
    ASSERT_EQ(sound.write(1, buffer1, 16), 1);
    ASSERT_EQ(sound.write(2, buffer2, 16), 1);
    fake.playing = true;
    sound.close();
    EXPECT_EQ(fake.calls, (Calls{"queue 1 16", "queue 2 16", "stop", "close"}));
    EXPECT_EQ(fake.completions_seen_at_close, 2);
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_FALSE(sound.audio_pending());
    sound.close();
    EXPECT_EQ(fake.calls.size(), 4u);
}

TEST_F(WaveSlots, CloseWaitsForCompletionsDeliveredAfterTheStop) {
    open();
    fake.hand_back_on_other_thread = true;
    ASSERT_EQ(sound.write(1, buffer1, 16), 1);
    ASSERT_EQ(sound.write(2, buffer2, 16), 1);
    sound.close();
    // Closing before both arrived would leave a completion to land in a dead object.
    EXPECT_EQ(fake.completions_seen_at_close, 2);
    EXPECT_EQ(sound.free_slot(), 1);
}

TEST_F(WaveSlots, EndingAnOpenObjectClosesItsDevice) {
    {
        zrSound local;
        ASSERT_EQ(local.open(), 1);
        ASSERT_EQ(local.write(1, buffer1, 16), 1);
    }
    EXPECT_EQ(fake.calls, (Calls{"open", "queue 1 16", "stop", "close"}));
}

}  // namespace
