#include "platform/command_line.hpp"

namespace platform {

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) {
    const std::string narrow = argv[i];
    args.emplace_back(narrow.begin(), narrow.end());
  }
  return args;
}

}  // namespace platform
