// The first bytes of the packets a device sends unasked, beside the answers to requests.
#pragma once

#include <cstdint>

namespace diaglib {

inline constexpr uint8_t kLogPacket = 0x10;
inline constexpr uint8_t kDebugMessage = 0x1F;
inline constexpr uint8_t kEventReport = 0x60;
inline constexpr uint8_t kExtendedDebugMessage = 0x79;
inline constexpr uint8_t kTerseDebugMessage = 0x92;

}  // namespace diaglib
