// Little-endian fields of DIAG packets, as the device's answers read and write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devicesim/hdlc.hpp"

namespace devicesim {

inline void Put16(Bytes* b, size_t at, uint16_t v) {
  if (b->size() < at + 2) b->resize(at + 2, 0);
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void Put32(Bytes* b, size_t at, uint32_t v) {
  if (b->size() < at + 4) b->resize(at + 4, 0);
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint16_t Get16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

inline uint32_t Get32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The NUL-terminated text at `at`; false when the request ends before its terminator.
inline bool GetText(const Bytes& b, size_t at, std::string* text) {
  text->clear();
  for (size_t i = at; i < b.size(); ++i) {
    if (b[i] == 0) return true;
    text->push_back(static_cast<char>(b[i]));
  }
  return false;
}

// Fixed-width text field, blank-padded the way the identification fields are.
inline void PutFixed(Bytes* b, size_t at, const std::string& text, size_t width) {
  if (b->size() < at + width) b->resize(at + width, 0);
  for (size_t i = 0; i < width; ++i) (*b)[at + i] = i < text.size() ? text[i] : ' ';
}

}  // namespace devicesim
