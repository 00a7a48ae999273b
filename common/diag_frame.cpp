#include "common/diag_frame.hpp"

namespace common {
namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t value = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) ? static_cast<uint16_t>((value >> 1) ^ kCrcPolyReflected)
                          : static_cast<uint16_t>(value >> 1);
    }
    table[i] = value;
  }
  return table;
}

}  // namespace

const std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

uint16_t Crc16(const uint8_t* data, size_t length) {
  uint16_t crc = kCrcStart;
  for (size_t i = 0; i < length; ++i) crc = CrcStep(crc, data[i]);
  return static_cast<uint16_t>(~crc);
}

bool EscapeBytes(const uint8_t* in, size_t length, uint8_t* out, size_t capacity, size_t* written) {
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = in[i];
    const bool special = (b == kFrameFlag || b == kFrameEscape);
    if (n + (special ? 2 : 1) > capacity) return false;
    if (special) {
      out[n++] = kFrameEscape;
      out[n++] = static_cast<uint8_t>(b ^ kEscapeXor);
    } else {
      out[n++] = b;
    }
  }
  *written = n;
  return true;
}

size_t EncodeFrame(const uint8_t* packet, size_t length, uint8_t* out, size_t capacity) {
  size_t n = 0;
  if (!EscapeBytes(packet, length, out, capacity, &n)) return 0;
  const uint16_t crc = Crc16(packet, length);
  const uint8_t crc_bytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  size_t crc_len = 0;
  if (!EscapeBytes(crc_bytes, 2, out + n, capacity - n, &crc_len)) return 0;
  n += crc_len;
  if (n + 1 > capacity) return 0;
  out[n++] = kFrameFlag;
  return n;
}

size_t UnescapeBytes(const uint8_t* in, size_t length, uint8_t* out, size_t capacity) {
  size_t n = 0;
  for (size_t i = 0; i < length && n < capacity; ++i) {
    if (in[i] == kFrameEscape) {
      if (++i >= length) break;
      out[n++] = static_cast<uint8_t>(in[i] ^ kEscapeXor);
    } else {
      out[n++] = in[i];
    }
  }
  return n;
}

}  // namespace common
