#include "nvtool/diag_link_frames.hpp"

#include <cstring>
#include <vector>

#include "common/diag_frame.hpp"

namespace nvtool {

size_t ForEachCompleteFrame(const uint8_t* bytes, size_t count,
                            const std::function<bool(const uint8_t* frame, size_t length)>& frame) {
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != common::kFrameFlag) continue;
    const size_t from = start;
    start = i + 1;
    if (i > from && frame(bytes + from, i - from)) return start;
  }
  return start;
}

bool DecodeFrame(const uint8_t* frame, size_t length, uint8_t* packet, size_t capacity,
                 size_t* packet_length) {
  *packet_length = 0;
  std::vector<uint8_t> unescaped(length);
  const size_t size = common::UnescapeBytes(frame, length, unescaped.data(), unescaped.size());
  if (size < 2 || !common::CrcResidueGood(unescaped.data(), size)) return false;
  if (size - 2 > capacity) return false;
  std::memcpy(packet, unescaped.data(), size - 2);
  *packet_length = size - 2;
  return true;
}

}  // namespace nvtool
