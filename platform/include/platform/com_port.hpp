// One COM device, reduced to the primitive operations of the Windows communications API.
// The tools' port code (opening sequence, settings, error mapping, read and write loops) stays
// above this header; the implementations only translate each primitive to the platform.
// It keeps Windows's vocabulary (DCB fields, COMMTIMEOUTS, purge flags, error numbers) because
// the tools' port behaviour is defined in those terms, and the POSIX side emulates them.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/error_codes.hpp"

namespace platform {

class Clock;

inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// The provider capability bit that the tools check.
inline constexpr uint32_t kPcfIntTimeouts = 0x0080;

struct CommProperties {
  uint16_t wPacketLength = 0;
  uint32_t dwProvCapabilities = 0;
};

enum : uint8_t { kNoParity = 0, kOneStopBit = 0 };
enum : uint8_t { kDtrControlDisable = 0, kDtrControlEnable = 1 };
enum : uint8_t { kRtsControlDisable = 0, kRtsControlEnable = 1 };

// The fields of the Windows line-settings record that the tools touch. GetState fills all of
// them; SetState writes all of them, fields a platform cannot express are ignored there.
struct LineSettings {
  uint32_t BaudRate = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = kNoParity;
  uint8_t StopBits = kOneStopBit;
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = kDtrControlDisable;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  uint8_t fRtsControl = kRtsControlDisable;
  bool fAbortOnError = false;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

enum class CommFunction { kSetRts, kClrRts, kSetDtr, kClrDtr };

enum PurgeFlag : uint32_t {
  kPurgeTxAbort = 0x0001,
  kPurgeRxAbort = 0x0002,
  kPurgeTxClear = 0x0004,
  kPurgeRxClear = 0x0008,
};

enum class IoMode {
  kBlocking,    // reads and writes complete on the calling thread, bounded by the time-outs
  kOverlapped,  // each read or write is issued overlapped and waited for; Close wakes waiters
};

class ComPort {
 public:
  virtual ~ComPort() = default;

  // Opens \\.\COMn (Windows) or dev/serial/com/COMn below the device root (POSIX) for reading
  // and writing, unshared. Returns 0, or the platform error code of the failing call.
  virtual uint32_t Open(int number, IoMode mode) = 0;
  // Closes the handle; a reader blocked in Read on another thread returns with nothing. Bounded:
  // I/O that has to be cancelled and does not end within 2 s is abandoned, the handle closed
  // anyway, and LastError() is then kErrorTimeout (0 after a clean close).
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual bool Setup(uint32_t in_queue, uint32_t out_queue) = 0;  // SetupComm
  virtual bool GetProperties(CommProperties* properties) = 0;     // GetCommProperties
  virtual bool GetTimeouts(CommTimeouts* timeouts) = 0;           // GetCommTimeouts
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;     // SetCommTimeouts
  virtual bool GetState(LineSettings* settings) = 0;              // GetCommState
  virtual bool SetState(const LineSettings& settings) = 0;        // SetCommState
  virtual bool Escape(CommFunction function) = 0;                 // EscapeCommFunction
  virtual bool Purge(uint32_t flags) = 0;                         // PurgeComm

  // One read of up to `count` bytes, returning as the time-outs set with SetTimeouts say
  // (read interval MAXDWORD with multiplier MAXDWORD and constant C: what is buffered, or the
  // first bytes to arrive within C ms; interval MAXDWORD with zero multiplier and constant:
  // what is buffered, possibly nothing). False on an I/O error; *got holds the count.
  virtual bool Read(uint8_t* buffer, uint32_t count, uint32_t* got) = 0;
  // One write; false on an I/O error; *written holds the count.
  virtual bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written) = 0;
  // ClearCommError: bytes waiting in the input queue and bytes still in the output queue.
  virtual bool QueueStatus(uint32_t* in_queue, uint32_t* out_queue) = 0;
  // Waits at most `ms` of real time for input to be readable.
  virtual bool WaitReadable(uint32_t ms) = 0;
  // The library reader's idle wait, which has no time-out: true once input is readable (or the
  // device is gone, which the next read reports); false after Wake (LastError() 0), after Close
  // or when the wait cannot be made (LastError() says why). An overlapped port only.
  virtual bool WaitReadableOrWoken() = 0;
  // Ends the WaitReadableOrWoken under way on another thread, or else the next one that starts
  // before the port is closed. Nothing while the port is closed.
  virtual void Wake() = 0;

  // The platform's last error code after the most recent call on this port (GetLastError).
  // Kept per thread, as GetLastError is, so the reader thread cannot overwrite the code the
  // caller's thread is about to look at; 0 after a call that succeeded.
  virtual uint32_t LastError() const = 0;
};

// A closed port whose waits go through `clock`.
std::unique_ptr<ComPort> MakeComPort(Clock& clock);

}  // namespace platform
