#include "diaglib/log/hex_dump.hpp"

#include "diaglib/log/data_log_file_handler.hpp"

namespace diaglib {

HexDump::HexDump(const uint8_t* bytes, int length) {
  static const char kDigits[] = "0123456789ABCDEF";
  int shown = length < 0 ? 0 : length;
  if (shown > kMaxBytes) shown = kMaxBytes;
  char* out = text_;
  for (int i = 0; i < shown; ++i) {
    *out++ = kDigits[bytes[i] >> 4];
    *out++ = kDigits[bytes[i] & 0x0F];
    *out++ = ' ';
  }
  *out = '\0';
}

void WriteHexLog(DataLogFileHandler* handler, uint32_t category, const char* format,
                 const uint8_t* bytes, int length) {
  if (handler == nullptr || !handler->Keeps(category)) return;
  const HexDump dump(bytes, length);
  WriteLog(handler, category, format, length, dump.c_str());
}

}  // namespace diaglib
