#include "diaglib/transport/serial_port.hpp"

#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"
#include "platform/clock.hpp"

namespace diaglib {

namespace {

// True once `now` is later than `deadline`, across the tick count's wrap.
bool PastDeadline(uint32_t now, uint32_t deadline) {
  return static_cast<int32_t>(now - deadline) > 0;
}

}  // namespace

CSerialPort::CSerialPort(platform::Clock& clock, std::unique_ptr<platform::ComPort> port)
    : clock_(clock), port_(port != nullptr ? std::move(port) : platform::MakeComPort(clock)) {}

CSerialPort::~CSerialPort() { Close(); }

int CSerialPort::MapPlatformError(uint32_t code) {
  switch (code) {
    case 0:
      return 0;
    case 1:
    case 2:
    case 3:
    case 1118:  // no serial device
      return kSerialErrorNoDevice;
    case 5:
      return kSerialErrorAccessDenied;
    case 8:
    case 14:
      return kSerialErrorOutOfMemory;
    default:
      return kSerialErrorOther;
  }
}

int CSerialPort::Open(unsigned port) {
  if (port == 0 || port >= 256) return 0;
  return OpenWith(port, kDiagBaudRate);
}

void CSerialPort::ApplyDiagTimeouts() {
  timeouts_ = platform::CommTimeouts{};
  port_->GetTimeouts(&timeouts_);
  // Reads return at once with whatever the driver holds; the reader thread does the waiting.
  timeouts_.ReadIntervalTimeout = platform::kMaxDword;
  timeouts_.ReadTotalTimeoutMultiplier = 0;
  timeouts_.ReadTotalTimeoutConstant = 0;
  timeouts_.WriteTotalTimeoutMultiplier = 1;
  timeouts_.WriteTotalTimeoutConstant = 50;
  port_->SetTimeouts(timeouts_);
}

// The DIAG line: 8 data bits, no parity, one stop bit, RTS on, DTR off, no flow control;
// fields the tools never touch keep the driver's values.
void CSerialPort::ApplyDiagLineSettings(uint32_t baud) {
  port_->GetState(&settings_);
  settings_.BaudRate = baud;
  settings_.ByteSize = 8;
  settings_.Parity = platform::kNoParity;
  settings_.StopBits = platform::kOneStopBit;
  settings_.fBinary = true;
  settings_.fParity = true;
  settings_.fTXContinueOnXoff = true;
  settings_.fRtsControl = platform::kRtsControlEnable;
  settings_.fDtrControl = platform::kDtrControlDisable;
  settings_.fOutxCtsFlow = false;
  settings_.fOutxDsrFlow = false;
  settings_.fDsrSensitivity = false;
  settings_.fOutX = false;
  settings_.fInX = false;
  settings_.fErrorChar = false;
  settings_.fNull = false;
  settings_.fAbortOnError = false;
  settings_.XonLim = 0;
  settings_.XoffLim = 0;
  settings_.EofChar = 0;
}

int CSerialPort::OpenWith(unsigned port, uint32_t baud) {
  if (IsOpen()) Close();
  port_number_.store(static_cast<int>(port));
  last_error_.store(0);

  const uint32_t open_error = port_->Open(static_cast<int>(port), platform::IoMode::kOverlapped);
  if (open_error != 0) {
    last_platform_error_.store(static_cast<int>(open_error));
    last_error_.store(kSerialErrorOpenFailed);
    return 0;
  }
  if (!port_->Setup(kDriverQueueSize, kDriverQueueSize)) {
    last_error_.store(kSerialErrorSetupFailed);
    port_->Close();
    return 0;
  }

  properties_ = platform::CommProperties{};
  properties_.wPacketLength = 64;
  port_->GetProperties(&properties_);

  ApplyDiagTimeouts();
  ApplyDiagLineSettings(baud);
  if (!port_->SetState(settings_)) {
    last_error_.store(kSerialErrorStateFailed);
    port_->Close();
    return 0;
  }

  SetRTS(true);
  SetDTR(false);
  port_->Purge(platform::kPurgeTxAbort | platform::kPurgeRxAbort | platform::kPurgeTxClear |
               platform::kPurgeRxClear);
  open_.store(true);
  return 1;
}

int CSerialPort::Close() {
  if (!IsOpen()) return 1;
  // Closing the platform port also wakes a reader waiting in it.
  port_->Close();
  open_.store(false);
  if (port_->LastError() == platform::kErrorTimeout) {
    WriteLog(log_.load(), LOG_ERR,
             "CSerialPort::Close - cancelled I/O did not end within 2000 ms, the port was closed "
             "anyway");
  }
  return 1;
}

int CSerialPort::MapAndStore(bool ok) {
  const uint32_t code = ok ? 0 : port_->LastError();
  last_platform_error_.store(static_cast<int>(code));
  const int mapped = MapPlatformError(code);
  last_error_.store(mapped);
  return mapped;
}

bool CSerialPort::SetBaudRate(int baud) {
  platform::LineSettings settings = settings_;
  bool ok = port_->GetState(&settings);
  if (ok) {
    settings.BaudRate = static_cast<uint32_t>(baud);
    ok = port_->SetState(settings);
    if (ok) settings_ = settings;
  }
  return MapAndStore(ok) == 0;
}

int CSerialPort::GetBaudRate(int* baud) const {
  *baud = static_cast<int>(settings_.BaudRate);
  return 1;
}

int CSerialPort::FlushPCBuffer() {
  WriteLog(log_.load(), LOG_FN_DEV, "CSerialPort::FlushPCBuffer()");
  return port_->Purge(platform::kPurgeRxClear) ? 1 : 0;
}

int CSerialPort::Send(const uint8_t* bytes, int count) {
  DataLogFileHandler* log = log_.load();
  WriteLog(log, LOG_FN_DEV, "CSerialPort::Send(nbyte=%d)", count);
  const uint32_t deadline = clock_.TickCount() + static_cast<uint32_t>(write_timeout_ms_.load());
  int remaining = count > 0 ? count : 0;
  int result = 0;
  for (;;) {
    const uint32_t chunk =
        remaining < static_cast<int>(kWriteChunk) ? static_cast<uint32_t>(remaining) : kWriteChunk;
    uint32_t written = 0;
    const bool ok = port_->Write(bytes, chunk, &written);
    if (written > chunk) written = chunk;
    bytes += written;
    remaining -= static_cast<int>(written);
    if (PastDeadline(clock_.TickCount(), deadline)) {
      result = 0;
      break;
    }
    if (remaining == 0) {
      result = count;
      break;
    }
    // A write the driver refused will not succeed by repeating it until the deadline.
    if (!ok) {
      result = count - remaining;
      break;
    }
    uint32_t in_queue = 0;
    uint32_t out_queue = 0;
    uint32_t free_space = kDriverQueueSize;
    if (port_->QueueStatus(&in_queue, &out_queue)) {
      free_space = out_queue >= kDriverQueueSize ? 0 : kDriverQueueSize - out_queue;
    }
    if (free_space == 0) {
      result = count - remaining;
      break;
    }
  }
  WriteLog(log, LOG_RET_DEV, "CSerialPort::Send(bytes_sent=%d) ... OK", result);
  return result;
}

int CSerialPort::Receive(uint8_t* buffer, int count) {
  int remaining = count > 0 ? count : 0;
  bool failed = false;
  while (remaining > 0) {
    uint32_t got = 0;
    const bool ok = port_->Read(buffer, static_cast<uint32_t>(remaining), &got);
    if (got > static_cast<uint32_t>(remaining)) got = static_cast<uint32_t>(remaining);
    buffer += got;
    remaining -= static_cast<int>(got);
    if (!ok) {
      failed = true;
      break;
    }
    uint32_t in_queue = 0;
    uint32_t out_queue = 0;
    if (!port_->QueueStatus(&in_queue, &out_queue) || in_queue == 0) break;
  }
  const int received = (count > 0 ? count : 0) - remaining;
  receive_failed_.store(failed);
  if (received != 0) {
    WriteLog(log_.load(), LOG_RET_DEV, "CSerialPort::Receive(wRec=%d) ... OK", received);
  }
  return received;
}

int CSerialPort::SetDTR(bool on) {
  const bool ok =
      port_->Escape(on ? platform::CommFunction::kSetDtr : platform::CommFunction::kClrDtr);
  return MapPlatformError(ok ? 0 : port_->LastError());
}

int CSerialPort::SetRTS(bool on) {
  const bool ok =
      port_->Escape(on ? platform::CommFunction::kSetRts : platform::CommFunction::kClrRts);
  return MapPlatformError(ok ? 0 : port_->LastError());
}

int CSerialPort::SetWriteTimeout(int ms) {
  write_timeout_ms_.store(ms);
  return 1;
}

CSerialPort::WaitResult CSerialPort::WaitReadable(uint32_t ms) {
  if (!IsOpen()) return WaitResult::kFailed;
  if (port_->WaitReadable(ms)) return WaitResult::kReadable;
  // A wait that could not even start (device pulled, poll error) returns at once.
  return port_->LastError() == 0 ? WaitResult::kTimedOut : WaitResult::kFailed;
}

CSerialPort::WaitResult CSerialPort::WaitForInput() {
  if (!IsOpen()) return WaitResult::kFailed;
  if (port_->WaitReadableOrWoken()) return WaitResult::kReadable;
  return port_->LastError() == 0 ? WaitResult::kWoken : WaitResult::kFailed;
}

void CSerialPort::WakeWaiter() { port_->Wake(); }

}  // namespace diaglib
