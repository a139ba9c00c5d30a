#pragma once
// SET CD SPEED's value for "as fast as the drive can" (kB/s), for reading and writing alike.

#include <cstdint>

inline constexpr std::uint16_t SPEED_MAXIMUM_KBS = 0xFFFF;
