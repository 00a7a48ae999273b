// DIAG frame codec shared by both tools: CRC-16/X-25, escaping and the closing flag.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace common {

inline constexpr uint8_t kFrameFlag = 0x7E;
inline constexpr uint8_t kFrameEscape = 0x7D;
inline constexpr uint8_t kEscapeXor = 0x20;
inline constexpr uint16_t kCrcStart = 0xFFFF;
inline constexpr uint16_t kCrcPolyReflected = 0x8408;
// CRC over a packet followed by its own (good) CRC bytes, after the final complement.
inline constexpr uint16_t kCrcGoodResidue = 0x0F47;

extern const std::array<uint16_t, 256> kCrcTable;

// One table step of the running (not yet complemented) register.
inline uint16_t CrcStep(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF]);
}

// CRC-16/X-25 of whole bytes: start 0xFFFF, reflected, result complemented.
uint16_t Crc16(const uint8_t* data, size_t length);

// True when `length` bytes (a packet followed by its two CRC bytes, low byte first) check out.
inline bool CrcResidueGood(const uint8_t* data, size_t length) {
  return Crc16(data, length) == kCrcGoodResidue;
}

// Escapes 0x7E and 0x7D as 0x7D, byte ^ 0x20. Returns false, with *written untouched,
// when the escaped bytes would not fit in `capacity`.
bool EscapeBytes(const uint8_t* in, size_t length, uint8_t* out, size_t capacity, size_t* written);

// Packet, its CRC low byte first, all escaped, then one closing flag; no leading flag.
// Returns the frame length, or 0 when the frame does not fit in `capacity`.
size_t EncodeFrame(const uint8_t* packet, size_t length, uint8_t* out, size_t capacity);

// Undoes the escaping: 0x7D followed by a byte yields that byte ^ 0x20. A trailing lone 0x7D
// yields nothing. Stops when `capacity` bytes have been written; returns the count.
size_t UnescapeBytes(const uint8_t* in, size_t length, uint8_t* out, size_t capacity);

}  // namespace common
