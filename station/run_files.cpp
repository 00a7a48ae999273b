#include "station/run_files.hpp"

#include <filesystem>
#include <exception>
#include <string>
#include <system_error>

namespace station {
namespace {

namespace fs = std::filesystem;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Relative, forward slashes only, no step up: what can be joined to the folder as it is.
bool PlainRelative(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  if (path.find_first_of("\\:") != std::string::npos) return false;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    if (path.compare(begin, end - begin, "..") == 0) return false;
    begin = end + 1;
  }
  return true;
}

}  // namespace

bool PercentDecoded(const std::string& encoded, std::string* decoded) {
  decoded->clear();
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c == '%') {
      const int high = i + 2 < encoded.size() ? HexValue(encoded[i + 1]) : -1;
      const int low = high >= 0 ? HexValue(encoded[i + 2]) : -1;
      if (low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return false;
    decoded->push_back(c);
  }
  return true;
}

bool RunFileAt(const std::string& work_folder, const std::string& encoded, std::string* found) {
  std::string relative;
  if (!PercentDecoded(encoded, &relative)) return false;
  if (relative.empty()) relative = ".";
  if (!PlainRelative(relative)) return false;
  try {
    std::error_code ec;
    const fs::path base = fs::canonical(work_folder, ec);
    if (ec) return false;
    const fs::path target = fs::canonical(base / fs::u8path(relative), ec);
    if (ec) return false;
    // Links are followed above, so a link leaving the folder shows here as a path outside it.
    const fs::path inside = target.lexically_relative(base);
    if (inside.empty() || *inside.begin() == "..") return false;
    *found = target.string();
    return true;
  } catch (const std::exception&) {
    // Bytes that are no name on this system (Windows converts them) name no file.
    return false;
  }
}

}  // namespace station
