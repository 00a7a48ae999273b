// Bytes as upper-case hex pairs each followed by a blank, built in the caller's own storage so
// that threads never share a dump buffer.
#pragma once

#include <cstdint>

namespace diaglib {

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

class DataLogFileHandler;

// A line whose format takes the byte count (%d) and then the dump (%s). The dump is built only
// when the line is kept, so masked-out traffic costs nothing.
void WriteHexLog(DataLogFileHandler* handler, uint32_t category, const char* format,
                 const uint8_t* bytes, int length);

}  // namespace diaglib
