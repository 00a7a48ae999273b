#include <windows.h>

#include <conio.h>

#include <cstdio>
#include <string>

#include "platform/console.hpp"

namespace platform {

void ShowConsoleWindow(bool show) {
  HWND window = GetConsoleWindow();
  if (window != nullptr) ShowWindow(window, show ? SW_SHOW : SW_HIDE);
}

// A write to a closed pipe fails with an error here and raises nothing; the standard handles
// are kept apart from the handles of files and ports, so neither can take the other's place.
void KeepRunningWithoutConsole() {}

void ConsoleWrite(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void ConsoleWriteError(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void ConsoleWriteWide(const std::wstring& text) {
  std::fflush(stdout);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != INVALID_HANDLE_VALUE && out != nullptr && GetConsoleMode(out, &mode)) {
    // A real console takes the wide characters as they are.
    DWORD written = 0;
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  // Redirected output gets the text in the system's code page, as the C runtime would write it.
  const int wide_length = static_cast<int>(text.size());
  if (wide_length == 0) return;
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, text.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), wide_length, &narrow[0], bytes, nullptr, nullptr);
  ConsoleWrite(narrow);
}

bool PrepareLiveConsole() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) return false;
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
  // Consoles before Windows 10 refuse the mode; they get plain lines.
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int ConsoleColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

bool KeyWaiting() { return _kbhit() != 0; }

void ReadKey() { (void)_getch(); }

}  // namespace platform
