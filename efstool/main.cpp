#include <string>
#include <vector>

#include "efstool/treesmith.hpp"

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  return efstool::RunTreesmith(args, platform::RealClock(), efstool::RealConsole());
}
#else
int main(int argc, char** argv) {
  // Only the first word matters and it is compared as ASCII, so widening byte by byte will do.
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) {
    const std::string narrow = argv[i];
    args.emplace_back(narrow.begin(), narrow.end());
  }
  return efstool::RunTreesmith(args, platform::RealClock(), efstool::RealConsole());
}
#endif
