// Reading treesmith's step banners out of its run log, and the banners a list of steps gives.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string> Banners(const std::string& log) {
  std::vector<std::string> banners;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("===== ", 0) == 0) banners.push_back(line);
  }
  return banners;
}

inline std::vector<std::string> ExpectedBanners(const std::vector<std::string>& steps) {
  std::vector<std::string> banners;
  for (const std::string& step : steps) {
    banners.push_back("===== " + step + " + ===== ");
    banners.push_back("===== " + step + " - ===== ");
  }
  return banners;
}

}  // namespace testsupport
