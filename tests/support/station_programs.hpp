// The programs a station test runs: linked into one folder as installed, and told apart from
// those still running once they should have ended.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

// itemsmith and treesmith of this build, linked into `bin` (made when missing).
inline void LinkStationPrograms(const std::string& bin) {
  std::filesystem::create_directories(bin);
  std::filesystem::create_symlink(std::string(TEST_BINARY_DIR) + "/nvtool/itemsmith",
                                  bin + "/itemsmith");
  std::filesystem::create_symlink(std::string(TEST_BINARY_DIR) + "/efstool/treesmith",
                                  bin + "/treesmith");
}

// Gone, or a zombie that nobody has reaped yet: either way it runs no more.
inline bool ProcessGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

}  // namespace testsupport
