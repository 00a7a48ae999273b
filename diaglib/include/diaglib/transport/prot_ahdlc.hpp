// The sending half of the library's HDLC-like framing: CRC, escapes and the closing flag on
// the way out, raw reads for the reader thread, and the lone-flag flush of the device's side.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {
class Clock;
}

namespace diaglib {
class CSerialPort;
class DataLogFileHandler;

inline constexpr uint16_t kAhdlcGoodCrcResidue = 0x0F47;

// CRC-16/X-25 over `bit_count` bits: whole bytes through the table, then any remaining bits of
// the next byte from its low end. The count is 32 bits wide so that frames of 8192 bytes and
// more are covered whole.
uint16_t ComputeCrc16(const uint8_t* bytes, uint32_t bit_count);

class CProtAHDLC {
 public:
  static constexpr unsigned kMaxRequest = 16381;
  static constexpr unsigned kWorkArea = 32768;
  static constexpr unsigned kMaxEscaped = 16384;

  explicit CProtAHDLC(platform::Clock& clock);
  CProtAHDLC(const CProtAHDLC&) = delete;
  CProtAHDLC& operator=(const CProtAHDLC&) = delete;

  // Switches a port that answers AT commands into DIAG mode; 1 when the device said OK.
  int Data2DM(uint8_t baudrate_mask);
  int FlushPhoneBuffer();
  uint8_t SetLeadingFlag(uint8_t value);
  // 1 when the whole frame was written. `timeout_ms` is only logged: the port's write
  // time-out bounds the write.
  int Send(const uint8_t* packet, unsigned length, int timeout_ms, uint8_t leading_flag);
  // 1 when bytes came; *length is the capacity on entry and the count on return.
  int Receive(uint8_t* buffer, int* length, unsigned timeout_ms);

  bool SetPort(CSerialPort* port);
  void SetLogHandler(DataLogFileHandler* handler);

 private:
  platform::Clock& clock_;
  std::atomic<CSerialPort*> port_{nullptr};
  std::atomic<DataLogFileHandler*> log_{nullptr};
  std::atomic<uint8_t> leading_flag_{0};
};

}  // namespace diaglib
