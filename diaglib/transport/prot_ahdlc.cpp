#include "diaglib/transport/prot_ahdlc.hpp"

#include <cstring>

#include "common/diag_frame.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"
#include "diaglib/transport/serial_port.hpp"
#include "platform/clock.hpp"

namespace diaglib {

uint16_t ComputeCrc16(const uint8_t* bytes, uint32_t bit_count) {
  uint16_t crc = common::kCrcStart;
  const uint32_t whole = bit_count / 8;
  for (uint32_t i = 0; i < whole; ++i) crc = common::CrcStep(crc, bytes[i]);
  const uint32_t rest = bit_count % 8;
  if (rest != 0) {
    uint8_t byte = bytes[whole];
    for (uint32_t bit = 0; bit < rest; ++bit, byte >>= 1) {
      const bool differs = ((crc ^ byte) & 1) != 0;
      crc = static_cast<uint16_t>(crc >> 1);
      if (differs) crc = static_cast<uint16_t>(crc ^ common::kCrcPolyReflected);
    }
  }
  return static_cast<uint16_t>(~crc);
}

CProtAHDLC::CProtAHDLC(platform::Clock& clock) : clock_(clock) {}

bool CProtAHDLC::SetPort(CSerialPort* port) {
  if (port == nullptr) return false;
  port_.store(port);
  return true;
}

void CProtAHDLC::SetLogHandler(DataLogFileHandler* handler) {
  log_.store(handler);
  CSerialPort* port = port_.load();
  if (port != nullptr) port->SetLogHandler(handler);
}

uint8_t CProtAHDLC::SetLeadingFlag(uint8_t value) { return leading_flag_.exchange(value); }

int CProtAHDLC::Send(const uint8_t* packet, unsigned length, int timeout_ms, uint8_t leading_flag) {
  CSerialPort* port = port_.load();
  if (port == nullptr) return 0;
  DataLogFileHandler* log = log_.load();
  WriteLog(log, LOG_FN_AHDLC, "CProtAHDLC::Send(iSize=%d, iTimeout=%d)", static_cast<int>(length),
           timeout_ms);
  if (length > kMaxRequest) {
    WriteLog(log, LOG_INF_AHDLC, "Error. String size exceeds maximum buffer size.");
    return 0;
  }

  uint8_t frame[kWorkArea];
  const bool leading = leading_flag_.load() != 0 || leading_flag != 0;
  uint8_t* escaped = frame + (leading ? 1 : 0);
  size_t escaped_length = 0;
  const uint16_t crc = ComputeCrc16(packet, 8u * length);
  const uint8_t crc_bytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  size_t crc_length = 0;
  if (!common::EscapeBytes(packet, length, escaped, kMaxEscaped, &escaped_length) ||
      !common::EscapeBytes(crc_bytes, 2, escaped + escaped_length, kMaxEscaped - escaped_length,
                           &crc_length)) {
    WriteLog(log, LOG_INF_AHDLC, "Error. String size exceeds maximum buffer size.");
    return 0;
  }
  escaped_length += crc_length;
  if (leading) frame[0] = common::kFrameFlag;
  const size_t frame_length = (leading ? 1 : 0) + escaped_length + 1;  // and the closing flag
  frame[frame_length - 1] = common::kFrameFlag;

  const int sent = port->Send(frame, static_cast<int>(frame_length));
  const bool whole = sent == static_cast<int>(frame_length);
  WriteLog(log, LOG_RET_AHDLC, "CProtAHDLC::Send(_iALen=%d) ... %s", static_cast<int>(frame_length),
           whole ? "OK" : "FAIL");
  return whole ? 1 : 0;
}

int CProtAHDLC::Receive(uint8_t* buffer, int* length, unsigned timeout_ms) {
  CSerialPort* port = port_.load();
  if (port == nullptr) return 0;
  DataLogFileHandler* log = log_.load();
  if (*length > 0) std::memset(buffer, 0xFF, static_cast<size_t>(*length));
  const uint32_t start = clock_.TickCount();
  *length = port->Receive(buffer, *length);
  if (*length == 0) {
    WriteLog(log, LOG_INF_AHDLC, "Device received 0 bytes");
    return 0;
  }
  if (timeout_ms != 0 && clock_.TickCount() - start > timeout_ms) {
    WriteLog(log, LOG_INF_AHDLC, "Timeout = %d ms", static_cast<int>(timeout_ms));
  }
  return 1;
}

int CProtAHDLC::FlushPhoneBuffer() {
  WriteLog(log_.load(), LOG_FN_AHDLC, "CProtAHDLC::FlushPhoneBuffer()");
  CSerialPort* port = port_.load();
  if (port == nullptr) return 0;
  const uint8_t flag = common::kFrameFlag;
  port->Send(&flag, 1);
  return 1;
}

int CProtAHDLC::Data2DM(uint8_t baudrate_mask) {
  WriteLog(log_.load(), LOG_FN_AHDLC, "CProtAHDLC::Data2DM(baudrate_mask=%d)", baudrate_mask);
  CSerialPort* port = port_.load();
  if (port == nullptr) return 0;
  int original_baud = 0;
  port->GetBaudRate(&original_baud);

  static const uint8_t kCommand[] = {'A', 'T', '$', 'V', 'X', 'D', 'M', 'G', '\r'};
  constexpr uint32_t kReplyWindowMs = 200;
  constexpr int kTries = 2;
  struct Rate {
    uint8_t bit;
    int baud;
  };
  static const Rate kRates[] = {{0x01, 19200}, {0x04, 115200}};

  bool answered = false;
  for (const Rate& rate : kRates) {
    if (answered) break;
    if ((baudrate_mask & rate.bit) == 0) continue;
    port->SetBaudRate(rate.baud);
    port->FlushPCBuffer();
    FlushPhoneBuffer();
    for (int attempt = 0; attempt < kTries && !answered; ++attempt) {
      port->Send(kCommand, sizeof kCommand);
      uint8_t reply[20];
      int received = 0;
      const uint32_t start = clock_.TickCount();
      while (received < static_cast<int>(sizeof reply)) {
        received += port->Receive(reply + received, static_cast<int>(sizeof reply) - received);
        if (std::memchr(reply, 'K', static_cast<size_t>(received)) != nullptr) {
          answered = true;
          break;
        }
        const uint32_t elapsed = clock_.TickCount() - start;
        if (elapsed >= kReplyWindowMs) break;
        // Bounded by what is left of the reply window, so a silent device costs 200 ms.
        const uint32_t left = kReplyWindowMs - elapsed;
        clock_.Wait(left, [port](uint32_t real_ms) {
          return port->WaitReadable(real_ms) == CSerialPort::WaitResult::kReadable;
        });
      }
    }
  }

  port->SetBaudRate(original_baud);
  port->FlushPCBuffer();
  FlushPhoneBuffer();
  port->FlushPCBuffer();
  if (!answered) return 0;
  clock_.Pause(50);
  return 1;
}

}  // namespace diaglib
