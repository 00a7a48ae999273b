// The COM port on Windows. The NV writer opens it blocking; the library opens it overlapped
// with a read and a write event, so that its reader thread and the caller's thread each have
// their own outstanding I/O.
//
// Close may come from the caller's thread while the reader is inside a call. The handle and
// events are therefore lent out to each call (the adapter's portable PortLoans), and Close
// raises a stop event that every wait of the adapter also waits on: the reader wakes, cancels
// its own I/O, gives the handle back, and only then are the handles closed.
//
// A driver may take its time to finish a cancelled request, or never do it: the wait for that
// is bounded, the handle is then closed anyway, and Close reports it. The OVERLAPPED records
// live beside the handles rather than on a caller's stack, and are kept for good when a request
// never finished, so a late completion cannot write into memory that was given back.
//
// The library's reader waits for its first character without a time-out, on an overlapped
// comm-event wait beside the stop event and a wake event of its own that its caller raises to
// pause or stop it.
#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "platform/clock.hpp"
#include "platform/com_port.hpp"
#include "platform/portable/comm_deadlines.hpp"
#include "platform/portable/port_loans.hpp"
#include "win32_support.hpp"

namespace platform {
namespace win32 {

uint32_t& ThreadLastError() {
  thread_local uint32_t code = 0;
  return code;
}

}  // namespace win32

namespace {

using win32::Succeeded;
using win32::ThreadLastError;

void SetError(uint32_t code) { ThreadLastError() = code; }

class Win32ComPort final : public ComPort {
 public:
  static constexpr DWORD kCancelBoundMs = 2000;

  explicit Win32ComPort(Clock& clock) : clock_(clock) {}
  ~Win32ComPort() override { Close(); }

  uint32_t Open(int number, IoMode mode) override {
    Close();
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (mode == IoMode::kBlocking) {
      wchar_t name[32];
      swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\COM%d", number);
      handle =
          CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    } else {
      char name[32];
      std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
      handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      SetError(GetLastError());
      return ThreadLastError();
    }
    Handles h;
    h.port = handle;
    h.overlapped = mode == IoMode::kOverlapped;
    if (h.overlapped) h.records = new IoRecords();
    // Not signalled, unnamed, made anew at each open; manual reset but for the wake event.
    h.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (h.overlapped) {
      h.read = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      h.write = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      h.comm = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      h.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    if (h.stop == nullptr || (h.overlapped && (h.read == nullptr || h.write == nullptr ||
                                               h.comm == nullptr || h.wake == nullptr))) {
      const uint32_t code = GetLastError();
      CloseAll(h);
      SetError(code);
      return code;
    }
    loans_.Install(h);
    SetError(0);
    return 0;
  }

  void Close() override {
    bool forced = false;
    loans_.Close(
        [](const Handles& h) {
          // Wakes every waiter, whichever event it waits on.
          SetEvent(h.stop);
          if (h.read != nullptr) SetEvent(h.read);
          if (h.write != nullptr) SetEvent(h.write);
        },
        [&forced](Handles& h) {
          forced = h.cancel_timed_out;
          if (forced) h.records = nullptr;  // a request may still complete into them
          CloseAll(h);
        });
    SetError(forced ? ERROR_TIMEOUT : 0);
  }

  bool IsOpen() const override { return loans_.IsOpen(); }

  bool Setup(uint32_t in_queue, uint32_t out_queue) override {
    Use use(*this);
    if (!use.ok()) return false;
    return Succeeded(SetupComm(use.port(), in_queue, out_queue) != 0);
  }

  bool GetProperties(CommProperties* properties) override {
    Use use(*this);
    if (!use.ok()) return false;
    COMMPROP prop{};
    prop.wPacketLength = properties->wPacketLength;
    if (!Succeeded(GetCommProperties(use.port(), &prop) != 0)) return false;
    properties->wPacketLength = prop.wPacketLength;
    properties->dwProvCapabilities = prop.dwProvCapabilities;
    return true;
  }

  bool GetTimeouts(CommTimeouts* timeouts) override {
    Use use(*this);
    if (!use.ok()) return false;
    COMMTIMEOUTS t{};
    if (!Succeeded(GetCommTimeouts(use.port(), &t) != 0)) return false;
    timeouts->ReadIntervalTimeout = t.ReadIntervalTimeout;
    timeouts->ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    timeouts->ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    timeouts->WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts->WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    Use use(*this);
    if (!use.ok()) return false;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    if (!Succeeded(SetCommTimeouts(use.port(), &t) != 0)) return false;
    loans_.Update([&timeouts](Handles& h) { h.timeouts = timeouts; });
    return true;
  }

  bool GetState(LineSettings* s) override {
    Use use(*this);
    if (!use.ok()) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!Succeeded(GetCommState(use.port(), &dcb) != 0)) return false;
    s->BaudRate = dcb.BaudRate;
    s->ByteSize = dcb.ByteSize;
    s->Parity = dcb.Parity;
    s->StopBits = dcb.StopBits;
    s->fBinary = dcb.fBinary != 0;
    s->fParity = dcb.fParity != 0;
    s->fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
    s->fOutxDsrFlow = dcb.fOutxDsrFlow != 0;
    s->fDtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    s->fDsrSensitivity = dcb.fDsrSensitivity != 0;
    s->fTXContinueOnXoff = dcb.fTXContinueOnXoff != 0;
    s->fOutX = dcb.fOutX != 0;
    s->fInX = dcb.fInX != 0;
    s->fErrorChar = dcb.fErrorChar != 0;
    s->fNull = dcb.fNull != 0;
    s->fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    s->fAbortOnError = dcb.fAbortOnError != 0;
    s->XonLim = dcb.XonLim;
    s->XoffLim = dcb.XoffLim;
    s->XonChar = dcb.XonChar;
    s->XoffChar = dcb.XoffChar;
    s->ErrorChar = dcb.ErrorChar;
    s->EofChar = dcb.EofChar;
    s->EvtChar = dcb.EvtChar;
    return true;
  }

  bool SetState(const LineSettings& s) override {
    Use use(*this);
    if (!use.ok()) return false;
    // Start from the driver's record so that fields the tools never touch keep their values.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!Succeeded(GetCommState(use.port(), &dcb) != 0)) return false;
    dcb.BaudRate = s.BaudRate;
    dcb.ByteSize = s.ByteSize;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    dcb.fBinary = s.fBinary;
    dcb.fParity = s.fParity;
    dcb.fOutxCtsFlow = s.fOutxCtsFlow;
    dcb.fOutxDsrFlow = s.fOutxDsrFlow;
    dcb.fDtrControl = s.fDtrControl;
    dcb.fDsrSensitivity = s.fDsrSensitivity;
    dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
    dcb.fOutX = s.fOutX;
    dcb.fInX = s.fInX;
    dcb.fErrorChar = s.fErrorChar;
    dcb.fNull = s.fNull;
    dcb.fRtsControl = s.fRtsControl;
    dcb.fAbortOnError = s.fAbortOnError;
    dcb.XonLim = s.XonLim;
    dcb.XoffLim = s.XoffLim;
    dcb.XonChar = s.XonChar;
    dcb.XoffChar = s.XoffChar;
    dcb.ErrorChar = s.ErrorChar;
    dcb.EofChar = s.EofChar;
    dcb.EvtChar = s.EvtChar;
    return Succeeded(SetCommState(use.port(), &dcb) != 0);
  }

  bool Escape(CommFunction function) override {
    Use use(*this);
    if (!use.ok()) return false;
    DWORD code = SETRTS;
    switch (function) {
      case CommFunction::kSetRts:
        code = SETRTS;
        break;
      case CommFunction::kClrRts:
        code = CLRRTS;
        break;
      case CommFunction::kSetDtr:
        code = SETDTR;
        break;
      case CommFunction::kClrDtr:
        code = CLRDTR;
        break;
    }
    return Succeeded(EscapeCommFunction(use.port(), code) != 0);
  }

  bool Purge(uint32_t flags) override {
    Use use(*this);
    if (!use.ok()) return false;
    return Succeeded(PurgeComm(use.port(), flags) != 0);
  }

  bool Read(uint8_t* buffer, uint32_t count, uint32_t* got) override {
    *got = 0;
    Use use(*this);
    if (!use.ok()) return false;
    DWORD n = 0;
    if (!use.overlapped()) {
      const bool ok = Succeeded(ReadFile(use.port(), buffer, count, &n, nullptr) != 0);
      *got = n;
      return ok;
    }
    return Overlapped(use, use.read_event(), &use.records()->read, ReadBoundMs(use, count), got,
                      [&](OVERLAPPED* ov, DWORD* done) {
                        return ReadFile(use.port(), buffer, count, done, ov) != 0;
                      });
  }

  bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written) override {
    *written = 0;
    Use use(*this);
    if (!use.ok()) return false;
    DWORD n = 0;
    bool ok;
    if (!use.overlapped()) {
      ok = Succeeded(WriteFile(use.port(), bytes, count, &n, nullptr) != 0);
      *written = n;
    } else {
      ok = Overlapped(use, use.write_event(), &use.records()->write, WriteBoundMs(use, count),
                      written, [&](OVERLAPPED* ov, DWORD* done) {
                        return WriteFile(use.port(), bytes, count, done, ov) != 0;
                      });
    }
    // A write that ran into its time-out completes successfully with fewer bytes; the code
    // tells callers that look at the error rather than the count.
    if (ok && *written < count) SetError(ERROR_TIMEOUT);
    return ok;
  }

  bool QueueStatus(uint32_t* in_queue, uint32_t* out_queue) override {
    Use use(*this);
    if (!use.ok()) return false;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!Succeeded(ClearCommError(use.port(), &errors, &stat) != 0)) return false;
    *in_queue = stat.cbInQue;
    *out_queue = stat.cbOutQue;
    return true;
  }

  bool WaitReadable(uint32_t ms) override {
    Use use(*this);
    if (!use.ok()) return false;
    if (!use.overlapped()) {
      if (HasInput(use)) return true;
      // A blocking handle cannot wait for a comm event without blocking Close; poll instead.
      bool readable = false;
      clock_.Wait(ms, [&](uint32_t real_ms) {
        const DWORD start = GetTickCount();
        while (!readable && GetTickCount() - start < real_ms) {
          if (WaitForSingleObject(use.stop(), 1) == WAIT_OBJECT_0) break;
          readable = HasInput(use);
        }
        return readable;
      });
      SetError(0);
      return readable;
    }
    const FirstCharacter end = AwaitFirstCharacter(use, nullptr, [&](HANDLE* events, DWORD n) {
      DWORD r = WAIT_TIMEOUT;
      clock_.Wait(ms, [&](uint32_t real_ms) {
        r = WaitForMultipleObjects(n, events, FALSE, real_ms == kMaxDword ? INFINITE : real_ms);
        return r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1;
      });
      return r;
    });
    if (end == FirstCharacter::kFailed) return false;
    SetError(0);
    return end == FirstCharacter::kArrived;
  }

  bool WaitReadableOrWoken() override {
    Use use(*this);
    if (!use.ok()) return false;
    if (!use.overlapped()) {
      SetError(ERROR_INVALID_FUNCTION);
      return false;
    }
    const FirstCharacter end = AwaitFirstCharacter(
        use, use.wake_event(),
        [](HANDLE* events, DWORD n) { return WaitForMultipleObjects(n, events, FALSE, INFINITE); });
    switch (end) {
      case FirstCharacter::kArrived:
        SetError(0);
        return true;
      case FirstCharacter::kClosed:
        SetError(ERROR_OPERATION_ABORTED);
        return false;
      case FirstCharacter::kFailed:
        return false;
      default:
        // Woken, or the comm-event wait ended without a character.
        SetError(0);
        return false;
    }
  }

  void Wake() override {
    Use use(*this);
    if (use.ok() && use.wake_event() != nullptr) SetEvent(use.wake_event());
  }

  uint32_t LastError() const override { return ThreadLastError(); }

 private:
  // One outstanding request of each kind at a time: the reader reads and waits, the caller
  // writes.
  struct IoRecords {
    OVERLAPPED read{};
    OVERLAPPED write{};
    OVERLAPPED comm{};
  };

  // All owned by the port: made at Open, closed by Close once no call holds them.
  struct Handles {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;         // raised by Close, waited on by every wait of the adapter
    HANDLE read = nullptr;         // the overlapped reads' event
    HANDLE write = nullptr;        // the overlapped writes' event
    HANDLE comm = nullptr;         // WaitReadable's comm-event wait
    HANDLE wake = nullptr;         // auto reset: Wake ends one WaitReadableOrWoken
    IoRecords* records = nullptr;  // overlapped handles only
    bool overlapped = false;
    CommTimeouts timeouts;          // as last set (the driver's own before), to bound each request
    bool cancel_timed_out = false;  // a cancelled request outlived kCancelBoundMs
  };

  static void CloseAll(const Handles& h) {
    for (HANDLE e : {h.stop, h.read, h.write, h.comm, h.wake}) {
      if (e != nullptr) CloseHandle(e);
    }
    if (h.port != INVALID_HANDLE_VALUE) CloseHandle(h.port);
    delete h.records;
  }

  class Use {
   public:
    explicit Use(Win32ComPort& port) : loan_(port.loans_) {
      if (!loan_.ok()) SetError(ERROR_INVALID_HANDLE);
    }
    bool ok() const { return loan_.ok(); }
    HANDLE port() const { return loan_.handles().port; }
    HANDLE stop() const { return loan_.handles().stop; }
    HANDLE read_event() const { return loan_.handles().read; }
    HANDLE write_event() const { return loan_.handles().write; }
    HANDLE comm_event() const { return loan_.handles().comm; }
    HANDLE wake_event() const { return loan_.handles().wake; }
    IoRecords* records() const { return loan_.handles().records; }
    bool overlapped() const { return loan_.handles().overlapped; }
    const CommTimeouts& timeouts() const { return loan_.handles().timeouts; }

   private:
    PortLoans<Handles>::Loan loan_;
  };

  // What ended a wait for the first received character.
  enum class FirstCharacter { kArrived, kTimedOut, kClosed, kWoken, kFailed };

  // One overlapped comm-event wait for the first received character, on the comm event, Close's
  // stop event and `wake` when it is given. `wait(events, n)` makes the wait and answers as
  // WaitForMultipleObjects does. The mask is set before the input queue is looked at: the driver
  // keeps a character that arrives after it for the wait, one that came before is in the queue,
  // so none is missed however long the wait.
  template <typename Wait>
  FirstCharacter AwaitFirstCharacter(const Use& use, HANDLE wake, Wait wait) {
    if (!Succeeded(SetCommMask(use.port(), EV_RXCHAR) != 0)) return FirstCharacter::kFailed;
    if (HasInput(use)) return FirstCharacter::kArrived;
    OVERLAPPED& ov = use.records()->comm;
    ov = OVERLAPPED{};
    ov.hEvent = use.comm_event();
    ResetEvent(ov.hEvent);
    DWORD mask = 0;
    if (WaitCommEvent(use.port(), &mask, &ov)) {
      return (mask & EV_RXCHAR) != 0 || HasInput(use) ? FirstCharacter::kArrived
                                                      : FirstCharacter::kTimedOut;
    }
    const DWORD issued = GetLastError();
    if (issued != ERROR_IO_PENDING) {
      SetError(issued);
      return FirstCharacter::kFailed;
    }
    HANDLE events[3] = {ov.hEvent, use.stop(), wake};
    const DWORD r = wait(events, wake != nullptr ? 3 : 2);
    const DWORD wait_error = r == WAIT_FAILED ? GetLastError() : 0;
    DWORD unused = 0;
    if (r == WAIT_OBJECT_0 && GetOverlappedResult(use.port(), &ov, &unused, FALSE)) {
      return FirstCharacter::kArrived;
    }
    // A pending comm-event wait ends when the mask changes; a driver may ignore CancelIo for
    // it, and Close would then wait for it for ever.
    SetCommMask(use.port(), 0);
    CancelIo(use.port());
    Drain(use, &ov);
    if (r == WAIT_FAILED) {
      SetError(wait_error);
      return FirstCharacter::kFailed;
    }
    if (HasInput(use)) return FirstCharacter::kArrived;
    if (r == WAIT_OBJECT_0 + 1) return FirstCharacter::kClosed;
    if (r == WAIT_OBJECT_0 + 2) return FirstCharacter::kWoken;
    return FirstCharacter::kTimedOut;
  }

  static bool HasInput(const Use& use) {
    DWORD errors = 0;
    COMSTAT stat{};
    return ClearCommError(use.port(), &errors, &stat) != 0 && stat.cbInQue > 0;
  }

  // Waits, at most kCancelBoundMs, until the kernel has let go of an OVERLAPPED record after
  // its I/O was cancelled. A request that is still pending then is left to Close, which closes
  // the handle anyway and keeps the records.
  void Drain(const Use& use, OVERLAPPED* ov) {
    const DWORD start = GetTickCount();
    while (!HasOverlappedIoCompleted(ov)) {
      if (GetTickCount() - start >= kCancelBoundMs) {
        loans_.Update([](Handles& h) { h.cancel_timed_out = true; });
        return;
      }
      Sleep(1);
    }
    DWORD unused = 0;
    GetOverlappedResult(use.port(), ov, &unused, FALSE);
  }

  // What the time-outs set allow a request of `count` bytes, and a margin for the driver to
  // report it; INFINITE only where no time-out was set at all (the tools always set them).
  static DWORD Bound(uint64_t allowed_ms) {
    const uint64_t bound = allowed_ms + kCancelBoundMs;
    return bound >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(bound);
  }
  static DWORD ReadBoundMs(const Use& use, uint32_t count) {
    const ReadDeadline d = ReadDeadlineFor(use.timeouts(), count);
    if (d.immediate) return Bound(0);
    return d.has_total ? Bound(d.total_ms) : INFINITE;
  }
  static DWORD WriteBoundMs(const Use& use, uint32_t count) {
    const WriteDeadline d = WriteDeadlineFor(use.timeouts(), count);
    return d.has_total ? Bound(d.total_ms) : INFINITE;
  }

  // One overlapped read or write: issue it on `event`, wait for it (or for Close) no longer than
  // `bound_ms`, and take its count without waiting. A failed wait cancels the I/O, which then
  // transfers nothing more.
  template <typename Issue>
  bool Overlapped(const Use& use, HANDLE event, OVERLAPPED* record, DWORD bound_ms, uint32_t* count,
                  Issue issue) {
    OVERLAPPED& ov = *record;
    ov = OVERLAPPED{};
    ov.hEvent = event;
    ResetEvent(event);
    DWORD done = 0;
    if (issue(&ov, &done)) {
      SetEvent(event);
      *count = done;
      SetError(0);
      return true;
    }
    const DWORD issued = GetLastError();
    if (issued != ERROR_IO_PENDING) {
      SetError(issued);
      return false;
    }
    HANDLE events[2] = {event, use.stop()};
    const DWORD r = WaitForMultipleObjects(2, events, FALSE, bound_ms);
    if (r == WAIT_OBJECT_0 && GetOverlappedResult(use.port(), &ov, &done, FALSE)) {
      *count = done;
      SetError(0);
      return true;
    }
    DWORD failed = ERROR_OPERATION_ABORTED;
    if (r == WAIT_OBJECT_0) failed = GetLastError();
    if (r == WAIT_TIMEOUT) failed = ERROR_TIMEOUT;  // a driver that overran its own time-outs
    CancelIo(use.port());
    Drain(use, &ov);
    // Bytes the cancelled request had already moved are not lost to the caller.
    *count = static_cast<uint32_t>(ov.InternalHigh);
    SetError(failed == ERROR_IO_INCOMPLETE ? ERROR_OPERATION_ABORTED : failed);
    return false;
  }

  Clock& clock_;
  PortLoans<Handles> loans_;  // owned by this port
};

}  // namespace

std::unique_ptr<ComPort> MakeComPort(Clock& clock) { return std::make_unique<Win32ComPort>(clock); }

}  // namespace platform
