// The ALSA back end, playing into ALSA's file plugin (no sound card needed): the test points
// ALSA_CONFIG_PATH at a configuration of its own before its first ALSA call.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "playback/wave_out.h"
#include "tests/support/eventually.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int CHUNK_BYTES = 188160;

int entries_in(const char *folder) {
    int count = 0;
    if (DIR *dir = opendir(folder)) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// Where `captured` first differs from `expected` (which it must start with), or -1. The file
// sink may add silence after the audio.
long first_difference(const Bytes &captured, const Bytes &expected) {
    for (std::size_t i = 0; i < captured.size(); ++i) {
        std::uint8_t want = i < expected.size() ? expected[i] : 0;
        if (captured[i] != want) return static_cast<long>(i);
    }
    return captured.size() < expected.size() ? static_cast<long>(captured.size()) : -1;
}

class AlsaWave : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder = std::filesystem::path(::testing::TempDir()) /
                 ("cddaplay-wave-" + std::to_string(getpid()) + "-" + info->name());
        std::filesystem::create_directories(folder);
        configure("pcm.!default { type file; slave.pcm { type null }; file \"" + (folder / "out.raw").string() +
                  "\"; format \"raw\" }\n");
    }
    void TearDown() override {
        sound.close();
        std::filesystem::remove_all(folder);
    }
    void configure(const std::string &text) {
        std::string path = (folder / "asound.conf").string();
        std::ofstream(path) << text;
        setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
    }
    Bytes captured() {
        std::ifstream in(folder / "out.raw", std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    std::filesystem::path folder;
    zrSound sound;
};

TEST_F(AlsaWave, BuffersComeOutBitExactInOrder) {
    ASSERT_EQ(sound.open(), 1);
    // The last one is far below ALSA's start threshold: it must still be played out by itself.
    const int lengths[] = {CHUNK_BYTES, CHUNK_BYTES, 100000, CHUNK_BYTES, 3 * 2352};
    Bytes slot_buffer[2] = {Bytes(CHUNK_BYTES), Bytes(CHUNK_BYTES)};
    Bytes expected;
    int index = 0;
    for (int length : lengths) {
        ASSERT_TRUE(eventually([&] { return sound.free_slot() != 0; }));
        int slot = sound.free_slot();
        // A slot read free too early would let this refill change audio not yet taken.
        Bytes &buffer = slot_buffer[slot - 1];
        for (int i = 0; i < length; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9) + index * 61);
        expected.insert(expected.end(), buffer.begin(), buffer.begin() + length);
        ASSERT_EQ(sound.write(slot, buffer.data(), length), 1);
        ++index;
    }
    ASSERT_TRUE(eventually([&] { return !sound.audio_pending(); }));
    EXPECT_EQ(sound.free_slot(), 1);
    sound.close();
    Bytes out = captured();
    EXPECT_GE(out.size(), expected.size());
    EXPECT_EQ(first_difference(out, expected), -1);
}

TEST_F(AlsaWave, CloseWithBothSlotsQueuedHandsThemBack) {
    Bytes first(CHUNK_BYTES, 0x11), second(CHUNK_BYTES, 0x22);
    ASSERT_EQ(sound.open(), 1);
    ASSERT_EQ(sound.write(1, first.data(), CHUNK_BYTES), 1);
    ASSERT_EQ(sound.write(2, second.data(), CHUNK_BYTES), 1);
    sound.close();
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_FALSE(sound.audio_pending());
    EXPECT_EQ(sound.write(1, first.data(), CHUNK_BYTES), 1);  // closed: accepted, nothing queued
    EXPECT_EQ(sound.free_slot(), 1);
    sound.close();

    // Whatever got out before the stop is the start of what was written, unchanged.
    Bytes written = first;
    written.insert(written.end(), second.begin(), second.end());
    Bytes out = captured();
    std::size_t heard = std::min(out.size(), written.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + heard, written.begin()));

    // The device can be had again.
    ASSERT_EQ(sound.open(), 1);
    EXPECT_EQ(sound.write(1, second.data(), 4), 1);
    sound.close();  // before `second` goes
}

TEST_F(AlsaWave, OutputThatStopsWorkingHandsBackItsBuffersAndRefusesMore) {
    configure("pcm.!default { type file; slave.pcm { type null }; file \"/dev/full\"; format \"raw\" }\n");
    Bytes first(CHUNK_BYTES, 0x11), second(CHUNK_BYTES, 0x22);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(sound.open(), 1);
    EXPECT_FALSE(sound.device_failed());
    ASSERT_EQ(sound.write(1, first.data(), CHUNK_BYTES), 1);
    sound.write(2, second.data(), CHUNK_BYTES);  // may already be refused
    ASSERT_TRUE(eventually([&] { return sound.device_failed(); }));
    EXPECT_TRUE(eventually([&] { return sound.free_slot() == 1 && !sound.audio_pending(); }))
        << "every buffer comes back, nothing is left to wait for";
    EXPECT_EQ(sound.write(1, first.data(), CHUNK_BYTES), 0) << "a failed output takes nothing more";
    EXPECT_EQ(sound.free_slot(), 1);
    sound.close();
    EXPECT_FALSE(sound.device_failed());
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
}

TEST_F(AlsaWave, MissingDeviceFailsWithNothingLeftOpen) {
    configure("pcm.!default \"nowhere\"\n");
    int descriptors = entries_in("/proc/self/fd");
    int threads = entries_in("/proc/self/task");
    EXPECT_EQ(sound.open(), 0);
    EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
    EXPECT_EQ(entries_in("/proc/self/task"), threads);
    EXPECT_EQ(sound.write(3, nullptr, 4), 1);
    EXPECT_EQ(sound.free_slot(), 1);
    EXPECT_FALSE(sound.audio_pending());
    sound.close();
}

}  // namespace
