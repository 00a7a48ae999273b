#include <windows.h>
#include <shellapi.h>

#include "platform/command_line.hpp"

namespace platform {

std::vector<std::wstring> CommandLineArguments(int, char**) {
  std::vector<std::wstring> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.emplace_back(wide[i]);
  LocalFree(wide);
  return args;
}

}  // namespace platform
