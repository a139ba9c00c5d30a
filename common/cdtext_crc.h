#pragma once
// The check word of one 18-byte CD-Text pack: CRC-16 with polynomial x^16 + x^12 + x^5 + 1,
// initial value 0, over bytes 0-15, stored inverted, most significant byte first in bytes 16-17.
// Shared by the program, which checks packs from a drive, and the virtual drive, which writes them.

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t CDTEXT_PACK_BYTES = 18;
inline constexpr std::size_t CDTEXT_PACK_TEXT_BYTES = 12;

inline std::uint16_t cdtext_pack_crc(const std::uint8_t *pack) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (pack[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return static_cast<std::uint16_t>(~crc);
}

inline bool cdtext_pack_intact(const std::uint8_t *pack) {
    const std::uint16_t crc = cdtext_pack_crc(pack);
    return pack[16] == (crc >> 8) && pack[17] == (crc & 0xFF);
}

inline void cdtext_seal_pack(std::uint8_t *pack) {
    const std::uint16_t crc = cdtext_pack_crc(pack);
    pack[16] = static_cast<std::uint8_t>(crc >> 8);
    pack[17] = static_cast<std::uint8_t>(crc);
}
