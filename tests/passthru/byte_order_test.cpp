// The byte-order judge on synthetic audio: what music and silence look like read the right way
// round must never be taken for swapped audio, and the same audio stored swapped must be found.
// The false-positive rate is counted over many random music-like signals and printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

#include "passthru/image/byte_order.h"

namespace {

using passthru::image::Roughness;

constexpr int kRate = 44100;
constexpr int kFrames = 3 * kRate;  // what the judge reads of a track

// Stereo CD frames from a function of (frame, channel) giving a value in [-1, 1] (clipped).
std::vector<std::uint8_t> frames_of(const std::function<double(int, int)> &signal, bool swapped, int frames = kFrames) {
    std::vector<std::uint8_t> pcm(std::size_t(frames) * 4);
    for (int n = 0; n < frames; ++n)
        for (int c = 0; c < 2; ++c) {
            const double v = std::clamp(signal(n, c), -1.0, 1.0);
            const auto s = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767)));
            std::uint8_t *p = pcm.data() + std::size_t(n) * 4 + std::size_t(c) * 2;
            p[swapped ? 1 : 0] = static_cast<std::uint8_t>(s);
            p[swapped ? 0 : 1] = static_cast<std::uint8_t>(s >> 8);
        }
    return pcm;
}

bool judged_swapped(const std::vector<std::uint8_t> &pcm) {
    Roughness r;
    passthru::image::add_roughness(pcm.data(), pcm.size(), r);
    return passthru::image::looks_byte_swapped(r);
}

double tone(double hz, int n) { return std::sin(2 * std::numbers::pi * hz * n / kRate); }

struct Signal {
    const char *name;
    std::function<double(int, int)> at;
    bool swap_can_be_told;  // white noise stays white noise swapped: nothing to tell
};

std::vector<Signal> plain_signals() {
    static std::mt19937 draw(7);
    static std::vector<double> white(std::size_t(kFrames) * 2), brown(std::size_t(kFrames) * 2);
    std::uniform_real_distribution<double> u(-1, 1);
    double walk = 0;
    for (std::size_t i = 0; i < white.size(); ++i) {
        white[i] = u(draw);
        walk = 0.999 * walk + 0.02 * u(draw);
        brown[i] = walk;
    }
    return {
        {"digital silence", [](int, int) { return 0.0; }, false},
        {"dither at -90 dB", [](int n, int c) { return ((n * 7919 + c * 104729) % 3 - 1) / 32767.0; }, false},
        {"440 Hz at full scale", [](int n, int) { return tone(440, n); }, true},
        {"50 Hz at -40 dB", [](int n, int) { return 0.01 * tone(50, n); }, false},
        {"200 Hz at -30 dB", [](int n, int) { return 0.03 * tone(200, n); }, true},
        {"1 kHz at -6 dB", [](int n, int) { return 0.5 * tone(1000, n); }, true},
        {"15 kHz at full scale", [](int n, int) { return tone(15000, n); }, false},
        {"20 kHz at full scale", [](int n, int) { return tone(20000, n); }, false},
        {"sine clipped 10 times over", [](int n, int) { return 10 * tone(220, n); }, false},
        {"sine clipped twice over", [](int n, int) { return 2 * tone(220, n); }, true},
        {"square wave at full scale", [](int n, int) { return tone(110, n) >= 0 ? 1.0 : -1.0; }, false},
        {"3 kHz square wave at full scale", [](int n, int) { return tone(3000, n) >= 0 ? 1.0 : -1.0; }, false},
        {"8-bit audio widened to 16 bits", [](int n, int) { return 256 * std::round(127 * tone(2500, n)) / 32767; }, false},
        {"white noise at full scale", [](int n, int c) { return white[std::size_t(n) * 2 + std::size_t(c)]; }, false},
        {"white noise clipped", [](int n, int c) { return 3 * white[std::size_t(n) * 2 + std::size_t(c)]; }, false},
        {"white noise at -60 dB", [](int n, int c) { return 0.001 * white[std::size_t(n) * 2 + std::size_t(c)]; }, true},
        {"brown noise", [](int n, int c) { return brown[std::size_t(n) * 2 + std::size_t(c)]; }, true},
        {"chord with a fade-in", [](int n, int) { return std::min(1.0, n / 60000.0) * (tone(261.6, n) + tone(329.6, n) + tone(392, n)) / 3; }, true},
    };
}

TEST(ByteOrderJudge, SilenceTonesNoiseAndClippedAudioAreNeverTakenForSwappedAndSwappedMusicIsFound) {
    for (const Signal &s : plain_signals()) {
        SCOPED_TRACE(s.name);
        EXPECT_FALSE(judged_swapped(frames_of(s.at, false))) << "read the right way round";
        if (s.swap_can_be_told) {
            EXPECT_TRUE(judged_swapped(frames_of(s.at, true))) << "stored swapped";
        }
    }
    Roughness little;
    const auto pcm = frames_of([](int n, int) { return tone(440, n); }, true);
    passthru::image::add_roughness(pcm.data(), 4000, little);
    EXPECT_FALSE(passthru::image::looks_byte_swapped(little)) << "too little audio to judge";
}

// Random music-like signals: a few partials with harmonics, an envelope, some noise, at levels
// from -50 dB to clipped; each judged the right way round and swapped.
TEST(ByteOrderJudge, FalsePositiveRateOnRandomMusicLikeSignals) {
    std::mt19937 draw(2024);
    std::uniform_real_distribution<double> u(0, 1);
    constexpr int kSignals = 200, kHalfSecond = kRate / 2;
    int false_positives = 0, found = 0;
    for (int i = 0; i < kSignals; ++i) {
        struct Partial {
            double hz, level;
        };
        std::vector<Partial> partials;
        for (int k = 0, count = 1 + int(u(draw) * 6); k < count; ++k) {
            const double hz = 40 * std::pow(2, u(draw) * 8);  // 40 Hz .. 10 kHz
            for (int h = 1; h <= 4 && hz * h < 20000; ++h) partials.push_back({hz * h, u(draw) / h});
        }
        const double gain = std::pow(10, (u(draw) * 70 - 50) / 20);  // -50 dB .. +20 dB (clipped)
        const double noise = u(draw) * 0.1, attack = 1 + u(draw) * 40000;
        std::mt19937 hiss(static_cast<unsigned>(i));
        std::uniform_real_distribution<double> h(-1, 1);
        const auto signal = [&](int n, int c) {
            double v = 0;
            for (const Partial &p : partials) v += p.level * std::sin(2 * std::numbers::pi * p.hz * n / kRate + c);
            return gain * std::min(1.0, n / attack) * (v / double(partials.size()) + noise * h(hiss));
        };
        std::vector<double> samples(std::size_t(kHalfSecond) * 2);
        for (int n = 0; n < kHalfSecond; ++n)
            for (int c = 0; c < 2; ++c) samples[std::size_t(n) * 2 + std::size_t(c)] = signal(n, c);
        const auto recorded = [&](int n, int c) { return samples[std::size_t(n) * 2 + std::size_t(c)]; };
        false_positives += judged_swapped(frames_of(recorded, false, kHalfSecond));
        found += judged_swapped(frames_of(recorded, true, kHalfSecond));
    }
    std::printf("byte-order judge: %d false positives in %d music-like signals; %d of %d swapped ones found\n",
                false_positives, kSignals, found, kSignals);
    EXPECT_EQ(false_positives, 0);
    EXPECT_GE(found, kSignals * 2 / 3) << "loud high partials are as rough either way round: those are not told";
}

}  // namespace
