#pragma once
// The operation codes (CDB byte 0) of the SCSI commands the library looks at: the virtual drive
// answers them, the read-only path of the spti back end translates some of them, the manager
// watches INQUIRY.

#include <cstdint>

namespace passthru {

inline constexpr std::uint8_t kOpTestUnitReady = 0x00;
inline constexpr std::uint8_t kOpRequestSense = 0x03;
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpModeSense6 = 0x1A;
inline constexpr std::uint8_t kOpPreventAllow = 0x1E;
inline constexpr std::uint8_t kOpReadCapacity = 0x25;
inline constexpr std::uint8_t kOpReadToc = 0x43;
inline constexpr std::uint8_t kOpGetConfiguration = 0x46;
inline constexpr std::uint8_t kOpEventStatus = 0x4A;
inline constexpr std::uint8_t kOpReadDiscInformation = 0x51;
inline constexpr std::uint8_t kOpReadTrackInformation = 0x52;
inline constexpr std::uint8_t kOpModeSense10 = 0x5A;
inline constexpr std::uint8_t kOpSetCdSpeed = 0xBB;
inline constexpr std::uint8_t kOpReadCd = 0xBE;

}  // namespace passthru
