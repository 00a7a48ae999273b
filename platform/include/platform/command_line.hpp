// The program's command-line arguments as wide text, without the program name.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Windows: the process's own wide command line (CommandLineToArgvW), so that arguments outside
// the ANSI code page survive. POSIX: `argv` widened byte by byte.
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

}  // namespace platform
