// Bytes as upper-case hex pairs each followed by a blank, built in the caller's own storage so
// that threads never share a dump buffer.
#pragma once

#include <cstdint>

class HexDump {
 public:
  // Longer inputs show their first kMaxBytes bytes only.
  static constexpr int kMaxBytes = 3967;

  // An empty or negative length gives an empty text.
  HexDump(const uint8_t* bytes, int length);
  const char* c_str() const { return text_; }

 private:
  char text_[kMaxBytes * 3 + 1];
};
