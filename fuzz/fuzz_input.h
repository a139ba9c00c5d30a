#pragma once
// Reading a fuzzer's input as a stream of small values; past the end every value is 0, so any
// input, however short, drives a whole run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

struct FuzzInput {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;

    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    // Copies up to `n` bytes into `out`, zero-filling what the input no longer has.
    void bytes(std::uint8_t *out, std::size_t n) {
        const std::size_t have = at < size ? std::min(n, size - at) : 0;
        if (have) std::memcpy(out, data + at, have);
        std::memset(out + have, 0, n - have);
        at += have;
    }
};
