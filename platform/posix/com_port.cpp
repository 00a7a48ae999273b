// The COM port on POSIX: dev/serial/com/COMn below the device root, driven through termios.
//
// The library's reader thread reads while the caller's thread writes, purges and closes. The
// descriptor is therefore lent out under a lock with a use count: Close raises a flag, wakes
// every poll through a pipe, and closes the descriptor only once nobody holds it, so no thread
// ever reads from a closed descriptor or from one the system has handed out again.
//
// The reader waits for input without a time-out; an eventfd beside the descriptor lets its
// caller end that wait (to pause or stop it) without closing anything.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/clock.hpp"
#include "platform/com_port.hpp"
#include "platform/portable/comm_deadlines.hpp"
#include "platform/portable/port_loans.hpp"
#include "posix_support.hpp"

namespace platform {
namespace {

constexpr uint8_t kRtsControlHandshake = 2;

// Like GetLastError: one value per thread, so the reader thread's reads cannot overwrite the
// code the caller's thread is about to look at.
thread_local uint32_t t_last_error = 0;

void SetError(uint32_t code) { t_last_error = code; }
void SetErrno(int error_number) { t_last_error = posix::ErrorFromErrno(error_number); }

struct BaudEntry {
  uint32_t baud;
  speed_t speed;
};
constexpr BaudEntry kBauds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedOf(uint32_t baud, speed_t* speed) {
  for (const BaudEntry& entry : kBauds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

uint32_t BaudOf(speed_t speed) {
  for (const BaudEntry& entry : kBauds) {
    if (entry.speed == speed) return entry.baud;
  }
  return 0;
}

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// kHangup: the descriptor reports an error or hang-up without being ready, which no later
// wait will change. kWoken: the wake-up descriptor was signalled (and is drained again).
enum class PollResult { kReady, kTimeout, kClosed, kError, kHangup, kWoken };

// One real wait of at most real_ms (MAXDWORD: without limit) for `events` on fd, or for the
// pipe that Close writes to, or for `wake_fd` unless it is -1.
PollResult PollFor(int fd, int close_fd, int wake_fd, short events, uint32_t real_ms) {
  const bool forever = real_ms == kMaxDword;
  const uint64_t deadline = MonotonicMs() + real_ms;
  for (;;) {
    int timeout = -1;
    if (!forever) {
      const uint64_t now = MonotonicMs();
      const uint64_t left = deadline > now ? deadline - now : 0;
      timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    // poll skips an entry whose descriptor is negative.
    pollfd fds[3] = {{fd, events, 0}, {close_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int n = poll(fds, 3, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetErrno(errno);
      return PollResult::kError;
    }
    if (n == 0) return PollResult::kTimeout;
    if (fds[1].revents != 0) return PollResult::kClosed;
    if (fds[2].revents != 0) {
      // Drained, so that one wake-up ends one wait; wake-ups made meanwhile fold into it.
      uint64_t count = 0;
      (void)!::read(wake_fd, &count, sizeof count);
    }
    if ((fds[0].revents & events) != 0) return PollResult::kReady;
    if (fds[0].revents != 0) return PollResult::kHangup;
    if (fds[2].revents != 0) return PollResult::kWoken;
  }
}

class PosixComPort final : public ComPort {
 public:
  explicit PosixComPort(Clock& clock) : clock_(clock) {}
  ~PosixComPort() override { Close(); }

  uint32_t Open(int number, IoMode /*mode*/) override {
    // Both modes behave alike here: every call is safe against a Close from another thread.
    Close();
    const std::string path = posix::DeviceRoot() + "/dev/serial/com/COM" + std::to_string(number);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      SetErrno(errno);
      return t_last_error;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      SetErrno(errno);
      ::close(fd);
      return t_last_error;
    }
    // A Windows COM port never edits or echoes what passes through it; a terminal does until it
    // is made raw, so it is made raw before anyone can read from it.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
      cfmakeraw(&tio);
      tio.c_cflag |= CLOCAL | CREAD;
      tio.c_cc[VMIN] = 1;
      tio.c_cc[VTIME] = 0;
      (void)tcsetattr(fd, TCSANOW, &tio);
    }
    int closing[2];
    if (pipe2(closing, O_CLOEXEC | O_NONBLOCK) != 0) {
      SetErrno(errno);
      ::close(fd);
      return t_last_error;
    }
    const int wake_event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_event < 0) {
      SetErrno(errno);
      ::close(fd);
      ::close(closing[0]);
      ::close(closing[1]);
      return t_last_error;
    }
    Handles handles;
    handles.fd = fd;
    handles.close_read = closing[0];
    handles.close_write = closing[1];
    handles.wake_event = wake_event;
    loans_.Install(handles);
    SetError(0);
    return 0;
  }

  void Close() override {
    loans_.Close(
        [](const Handles& h) {
          const char byte = 1;
          (void)!::write(h.close_write, &byte, 1);
        },
        [](const Handles& h) {
          ::close(h.fd);
          ::close(h.close_read);
          ::close(h.close_write);
          ::close(h.wake_event);
        });
    SetError(0);
  }

  bool IsOpen() const override { return loans_.IsOpen(); }

  bool Setup(uint32_t, uint32_t) override {
    Use use(*this);
    if (!use.ok()) return false;
    SetError(0);
    return true;
  }

  bool GetProperties(CommProperties* properties) override {
    Use use(*this);
    if (!use.ok()) return false;
    // RTS/CTS, XON/XOFF, total and interval time-outs.
    properties->dwProvCapabilities = 0x0002 | 0x0010 | 0x0040 | kPcfIntTimeouts;
    SetError(0);
    return true;
  }

  bool GetTimeouts(CommTimeouts* timeouts) override {
    Use use(*this);
    if (!use.ok()) return false;
    *timeouts = use.timeouts();
    SetError(0);
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    Use use(*this);
    if (!use.ok()) return false;
    loans_.Update([&timeouts](Handles& h) { h.timeouts = timeouts; });
    SetError(0);
    return true;
  }

  bool GetState(LineSettings* settings) override {
    Use use(*this);
    if (!use.ok()) return false;
    termios tio{};
    if (tcgetattr(use.fd(), &tio) != 0) {
      SetErrno(errno);
      return false;
    }
    LineSettings out = use.settings();
    out.BaudRate = BaudOf(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
      case CS5:
        out.ByteSize = 5;
        break;
      case CS6:
        out.ByteSize = 6;
        break;
      case CS7:
        out.ByteSize = 7;
        break;
      default:
        out.ByteSize = 8;
        break;
    }
    if ((tio.c_cflag & PARENB) == 0) {
      out.Parity = 0;
    } else if ((tio.c_cflag & CMSPAR) != 0) {
      out.Parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;
    } else {
      out.Parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;
    }
    if ((tio.c_cflag & CSTOPB) == 0) {
      out.StopBits = 0;
    } else if (out.StopBits == 0) {
      out.StopBits = 2;
    }
    out.fBinary = true;
    out.fParity = (tio.c_iflag & INPCK) != 0;
    const bool handshake = (tio.c_cflag & CRTSCTS) != 0;
    out.fOutxCtsFlow = handshake;
    if (!handshake && out.fRtsControl == kRtsControlHandshake) out.fRtsControl = kRtsControlEnable;
    if (handshake && out.fRtsControl != kRtsControlHandshake)
      out.fRtsControl = kRtsControlHandshake;
    out.fOutX = (tio.c_iflag & IXON) != 0;
    out.fInX = (tio.c_iflag & IXOFF) != 0;
    *settings = out;
    SetError(0);
    return true;
  }

  bool SetState(const LineSettings& settings) override {
    Use use(*this);
    if (!use.ok()) return false;
    speed_t speed;
    if (!SpeedOf(settings.BaudRate, &speed) || settings.ByteSize < 5 || settings.ByteSize > 8 ||
        settings.Parity > 4 || settings.StopBits > 2) {
      SetError(kErrorInvalidParameter);
      return false;
    }
    termios tio{};
    if (tcgetattr(use.fd(), &tio) != 0) {
      SetErrno(errno);
      return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[settings.ByteSize - 5];
    switch (settings.Parity) {
      case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        tio.c_cflag |= PARENB;
        break;
      case 3:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (settings.StopBits != 0) tio.c_cflag |= CSTOPB;
    if (settings.fOutxCtsFlow || settings.fRtsControl == kRtsControlHandshake)
      tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(INPCK | IXON | IXOFF);
    if (settings.fParity) tio.c_iflag |= INPCK;
    if (settings.fOutX) tio.c_iflag |= IXON;
    if (settings.fInX) tio.c_iflag |= IXOFF;
    if (settings.XonChar != 0) tio.c_cc[VSTART] = static_cast<cc_t>(settings.XonChar);
    if (settings.XoffChar != 0) tio.c_cc[VSTOP] = static_cast<cc_t>(settings.XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(use.fd(), TCSANOW, &tio) != 0) {
      SetErrno(errno);
      return false;
    }
    loans_.Update([&settings](Handles& h) { h.settings = settings; });
    SetError(0);
    return true;
  }

  bool Escape(CommFunction function) override {
    Use use(*this);
    if (!use.ok()) return false;
    int bits = 0;
    unsigned long request = TIOCMBIS;
    switch (function) {
      case CommFunction::kSetRts:
        bits = TIOCM_RTS;
        request = TIOCMBIS;
        break;
      case CommFunction::kClrRts:
        bits = TIOCM_RTS;
        request = TIOCMBIC;
        break;
      case CommFunction::kSetDtr:
        bits = TIOCM_DTR;
        request = TIOCMBIS;
        break;
      case CommFunction::kClrDtr:
        bits = TIOCM_DTR;
        request = TIOCMBIC;
        break;
    }
    // A pseudo-terminal has no modem lines; there is nothing to raise or drop.
    if (ioctl(use.fd(), request, &bits) != 0 && errno != ENOTTY && errno != EINVAL) {
      SetErrno(errno);
      return false;
    }
    SetError(0);
    return true;
  }

  bool Purge(uint32_t flags) override {
    Use use(*this);
    if (!use.ok()) return false;
    const bool rx = (flags & (kPurgeRxClear | kPurgeRxAbort)) != 0;
    const bool tx = (flags & (kPurgeTxClear | kPurgeTxAbort)) != 0;
    if (rx || tx) {
      const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
      if (tcflush(use.fd(), queue) != 0) {
        SetErrno(errno);
        return false;
      }
    }
    SetError(0);
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t count, uint32_t* got) override {
    *got = 0;
    Use use(*this);
    if (!use.ok()) return false;
    const ReadDeadline d = ReadDeadlineFor(use.timeouts(), count);
    const uint32_t start = clock_.TickCount();
    bool hung_up = false;

    for (;;) {
      while (*got < count) {
        const ssize_t n = ::read(use.fd(), buffer + *got, count - *got);
        if (n > 0) {
          *got += static_cast<uint32_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // End of file on a terminal: the other end has gone away.
        SetErrno(n == 0 ? EIO : errno);
        return false;
      }
      if (*got == count || d.immediate || (d.return_on_any && *got > 0)) break;

      uint32_t wait_ms = kMaxDword;
      if (d.has_total) {
        const uint32_t elapsed = clock_.TickCount() - start;
        if (elapsed >= d.total_ms) break;
        wait_ms = d.total_ms - elapsed;
      }
      if (d.has_interval && *got > 0 && d.interval_ms < wait_ms) wait_ms = d.interval_ms;
      if (hung_up) {
        // The other end is gone and nothing more will come; waiting again would spin.
        SetErrno(EIO);
        return false;
      }
      const PollResult r = WaitFor(use, POLLIN, wait_ms);
      if (r == PollResult::kTimeout) break;
      if (r == PollResult::kClosed) {
        SetError(kErrorOperationAborted);
        return false;
      }
      if (r == PollResult::kError) return false;
      hung_up = r == PollResult::kHangup;
    }
    SetError(0);
    return true;
  }

  bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written) override {
    *written = 0;
    Use use(*this);
    if (!use.ok()) return false;
    const WriteDeadline d = WriteDeadlineFor(use.timeouts(), count);
    const uint32_t start = clock_.TickCount();
    while (*written < count) {
      const ssize_t n = ::write(use.fd(), bytes + *written, count - *written);
      if (n > 0) {
        *written += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        SetErrno(errno);
        return false;
      }
      uint32_t wait_ms = kMaxDword;
      if (d.has_total) {
        const uint32_t elapsed = clock_.TickCount() - start;
        if (elapsed >= d.total_ms) {
          // As a timed-out serial write completes: with the bytes that went out. The code
          // tells callers that look at the error rather than the count.
          SetError(kErrorTimeout);
          return true;
        }
        wait_ms = d.total_ms - elapsed;
      }
      const PollResult r = WaitFor(use, POLLOUT, wait_ms);
      if (r == PollResult::kClosed) {
        SetError(kErrorOperationAborted);
        return false;
      }
      if (r == PollResult::kError) return false;
      if (r == PollResult::kHangup) {
        SetErrno(EIO);
        return false;
      }
      // On a time-out the loop tries once more and then sees the deadline passed.
    }
    SetError(0);
    return true;
  }

  bool QueueStatus(uint32_t* in_queue, uint32_t* out_queue) override {
    Use use(*this);
    if (!use.ok()) return false;
    int in = 0, out = 0;
    if (ioctl(use.fd(), FIONREAD, &in) != 0) {
      SetErrno(errno);
      return false;
    }
    if (ioctl(use.fd(), TIOCOUTQ, &out) != 0) out = 0;
    *in_queue = in > 0 ? static_cast<uint32_t>(in) : 0;
    *out_queue = out > 0 ? static_cast<uint32_t>(out) : 0;
    SetError(0);
    return true;
  }

  bool WaitReadable(uint32_t ms) override {
    Use use(*this);
    if (!use.ok()) return false;
    return Readable(WaitFor(use, POLLIN, ms));
  }

  bool WaitReadableOrWoken() override {
    Use use(*this);
    if (!use.ok()) return false;
    // No time-out, so nothing for a clock to shorten: the wait ends on an event only.
    return Readable(PollFor(use.fd(), use.close_fd(), use.wake_event(), POLLIN, kMaxDword));
  }

  // What a wait for input ended with, with the error its Windows counterpart would leave.
  static bool Readable(PollResult r) {
    if (r == PollResult::kClosed) {
      SetError(kErrorOperationAborted);
      return false;
    }
    if (r == PollResult::kError) return false;
    SetError(0);
    // A hang-up counts as readable: the read that follows reports the error.
    return r == PollResult::kReady || r == PollResult::kHangup;
  }

  void Wake() override {
    Use use(*this);
    if (!use.ok()) return;
    const uint64_t one = 1;
    (void)!::write(use.wake_event(), &one, sizeof one);
  }

  uint32_t LastError() const override { return t_last_error; }

 private:
  // The open descriptor, with what is kept beside it, for the length of one call.
  struct Handles {
    int fd = -1;
    int close_read = -1;  // Close writes into the pipe to wake every poll at once
    int close_write = -1;
    int wake_event = -1;  // an eventfd: Wake ends the one wait that WaitReadableOrWoken makes
    CommTimeouts timeouts;
    LineSettings settings;  // fields without a termios meaning, as last set
  };

  class Use {
   public:
    explicit Use(PosixComPort& port) : loan_(port.loans_) {
      if (!loan_.ok()) SetError(kErrorInvalidHandle);
    }
    bool ok() const { return loan_.ok(); }
    int fd() const { return loan_.handles().fd; }
    int close_fd() const { return loan_.handles().close_read; }
    int wake_event() const { return loan_.handles().wake_event; }
    const CommTimeouts& timeouts() const { return loan_.handles().timeouts; }
    const LineSettings& settings() const { return loan_.handles().settings; }

   private:
    PortLoans<Handles>::Loan loan_;
  };

  // Every bounded wait goes through the clock so that a test clock can shorten it.
  PollResult WaitFor(const Use& use, short events, uint32_t ms) {
    PollResult result = PollResult::kTimeout;
    clock_.Wait(ms, [&](uint32_t real_ms) {
      result = PollFor(use.fd(), use.close_fd(), -1, events, real_ms);
      return result != PollResult::kTimeout;
    });
    return result;
  }

  Clock& clock_;
  PortLoans<Handles> loans_;  // owned by this port
};

}  // namespace

std::unique_ptr<ComPort> MakeComPort(Clock& clock) { return std::make_unique<PosixComPort>(clock); }

}  // namespace platform
