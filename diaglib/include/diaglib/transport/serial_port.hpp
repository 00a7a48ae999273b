// The library's byte transport over one COM port: opening with the DIAG port's settings,
// reads that never block on the line, and chunked writes bounded by a deadline.
// One reader thread (WaitForInput, Receive) and one writer thread (Send, FlushPCBuffer, Close,
// WakeWaiter) may use it at the same time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/com_port.hpp"

namespace platform {
class Clock;
}

namespace diaglib {
class DataLogFileHandler;

// Last-error values of CSerialPort.
inline constexpr int kSerialErrorOpenFailed = -194;
inline constexpr int kSerialErrorSetupFailed = -193;
inline constexpr int kSerialErrorStateFailed = -191;
inline constexpr int kSerialErrorNoDevice = -198;
inline constexpr int kSerialErrorAccessDenied = -197;
inline constexpr int kSerialErrorOutOfMemory = -195;
inline constexpr int kSerialErrorOther = -200;

class CSerialPort {
 public:
  static constexpr uint32_t kDriverQueueSize = 4096;
  static constexpr uint32_t kWriteChunk = 4099;
  static constexpr int kDefaultWriteTimeoutMs = 300;
  static constexpr uint32_t kDiagBaudRate = 115200;

  // `port` replaces the platform's COM port (tests); null takes the platform's.
  explicit CSerialPort(platform::Clock& clock, std::unique_ptr<platform::ComPort> port = nullptr);
  ~CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // 1 when COMn opened at 115200 baud, 8 data bits, no parity, one stop bit; 0 otherwise
  // (at once, without touching the system, for 0 and 256 and above).
  int Open(unsigned port);
  bool IsOpen() const { return open_.load(); }
  int Close();
  bool SetBaudRate(int baud);
  int GetBaudRate(int* baud) const;
  int FlushPCBuffer();
  void SetLogHandler(DataLogFileHandler* handler) { log_.store(handler); }
  // Bytes sent: count, or fewer when the driver's queue filled, or 0 past the deadline.
  int Send(const uint8_t* bytes, int count);
  // What the driver holds, up to count bytes; never waits for the line.
  int Receive(uint8_t* buffer, int count);
  int SetDTR(bool on);
  int SetRTS(bool on);
  int SetWriteTimeout(int ms);
  // At most `ms` of real time for input. kFailed when the wait could not be made at all
  // (closed, or the platform's wait failed), which returns at once.
  enum class WaitResult { kReadable, kTimedOut, kWoken, kFailed };
  WaitResult WaitReadable(uint32_t ms);
  // The reader's idle wait, with no time-out: until input arrives (kReadable), WakeWaiter is
  // called from another thread (kWoken), or the port is closed or cannot be waited on (kFailed).
  WaitResult WaitForInput();
  void WakeWaiter();
  // True when the last Receive ended on a read that failed (the device gone, the port closed)
  // rather than on an empty queue.
  bool ReceiveFailed() const { return receive_failed_.load(); }

  int LastError() const { return last_error_.load(); }
  int PortNumber() const { return port_number_.load(); }

  static int MapPlatformError(uint32_t code);

 private:
  int OpenWith(unsigned port, uint32_t baud);
  // Steps of the opening: the port's time-outs, then its line settings (SetState follows).
  void ApplyDiagTimeouts();
  void ApplyDiagLineSettings(uint32_t baud);
  int MapAndStore(bool ok);

  platform::Clock& clock_;
  const std::unique_ptr<platform::ComPort> port_;
  std::atomic<DataLogFileHandler*> log_{nullptr};
  std::atomic<bool> open_{false};
  std::atomic<int> port_number_{0};
  std::atomic<int> last_error_{0};
  std::atomic<int> last_platform_error_{0};
  std::atomic<int> write_timeout_ms_{kDefaultWriteTimeoutMs};
  std::atomic<bool> receive_failed_{false};
  // Written on the opening (caller's) thread only.
  platform::LineSettings settings_;
  platform::CommTimeouts timeouts_;
  platform::CommProperties properties_;
};

}  // namespace diaglib
