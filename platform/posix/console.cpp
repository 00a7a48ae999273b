#include "platform/console.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "posix_support.hpp"

namespace platform {

// A terminal process has no window of its own to hide or show.
void ShowConsoleWindow(bool) {}

void ConsoleWrite(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void ConsoleWriteWide(const std::wstring& text) { ConsoleWrite(posix::Utf8FromWide(text)); }

bool KeyWaiting() {
  // Input piped in by a line script is not a key press.
  if (isatty(STDIN_FILENO) != 1) return false;
  pollfd fd{STDIN_FILENO, POLLIN, 0};
  int n;
  do {
    n = poll(&fd, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (fd.revents & POLLIN) != 0;
}

void ReadKey() {
  char byte;
  ssize_t n;
  do {
    n = ::read(STDIN_FILENO, &byte, 1);
  } while (n < 0 && errno == EINTR);
}

}  // namespace platform
