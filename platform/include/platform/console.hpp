// The console: its window, narrow and wide output, and the keyboard.
#pragma once

#include <string>

namespace platform {

// Hides or shows the console window (ShowWindow on GetConsoleWindow); nothing to do where a
// process has no window of its own.
void ShowConsoleWindow(bool show);

// A console that was closed (a line script's pipe whose reader is gone) or never opened must
// not end the run or take a file's place: console text then goes nowhere. Called once at start,
// before any file or port is opened.
void KeepRunningWithoutConsole();

// Writes the text unchanged to standard output.
void ConsoleWrite(const std::string& text);
// Writes the text unchanged to standard error.
void ConsoleWriteError(const std::string& text);
// Writes wide text unchanged (converted to the console's encoding where needed).
void ConsoleWriteWide(const std::wstring& text);

// True when standard output is a terminal that takes cursor movement (ANSI escape sequences),
// so a table can be redrawn in place; on Windows this switches the console to take them. False
// for a file or a pipe, which then get plain lines.
bool PrepareLiveConsole();

// The number of columns of the terminal standard output goes to; 80 when it cannot be told.
int ConsoleColumns();

// A key press is waiting (console keyboard poll); never blocks.
bool KeyWaiting();
// Reads and drops one waiting key.
void ReadKey();

}  // namespace platform
