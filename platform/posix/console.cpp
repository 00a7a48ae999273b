#include "platform/console.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "posix_support.hpp"

namespace platform {
namespace {

bool InputWaiting() {
  pollfd fd{STDIN_FILENO, POLLIN, 0};
  int n;
  do {
    n = poll(&fd, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (fd.revents & POLLIN) != 0;
}

// A terminal hands over typed keys only line by line; for the moment of one poll or read it is
// switched to take single keys, as the Windows console keyboard does, and then put back.
class SingleKeys {
 public:
  SingleKeys() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios keys = saved_;
    keys.c_lflag &= ~(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    changed_ = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
  }
  ~SingleKeys() {
    if (changed_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  SingleKeys(const SingleKeys&) = delete;
  SingleKeys& operator=(const SingleKeys&) = delete;

 private:
  termios saved_{};
  bool changed_ = false;
};

}  // namespace

void KeepRunningWithoutConsole() {
  // A write to a pipe nobody reads fails with EPIPE instead of killing the process.
  ::signal(SIGPIPE, SIG_IGN);
  // A descriptor 0 to 2 that is not open would be handed to the next file or port opened, and
  // console text would land in a log, a verdict or on the device's wire.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// A terminal process has no window of its own to hide or show.
void ShowConsoleWindow(bool) {}

void ConsoleWrite(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void ConsoleWriteError(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void ConsoleWriteWide(const std::wstring& text) { ConsoleWrite(posix::Utf8FromWide(text)); }

bool PrepareLiveConsole() {
  if (isatty(STDOUT_FILENO) != 1) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::string(term) != "dumb";
}

int ConsoleColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

bool KeyWaiting() {
  // Input piped in by a line script is not a key press.
  if (isatty(STDIN_FILENO) != 1) return false;
  SingleKeys keys;
  return InputWaiting();
}

void ReadKey() {
  if (isatty(STDIN_FILENO) != 1) return;
  SingleKeys keys;
  if (!InputWaiting()) return;
  char byte;
  ssize_t n;
  do {
    n = ::read(STDIN_FILENO, &byte, 1);
  } while (n < 0 && errno == EINTR);
}

}  // namespace platform
