// Reading a local folder one entry at a time, as the Windows find-file functions do.
// It keeps their vocabulary (first, next, attributes) because the tools' folder walks, and the
// logs they write on the way, are defined by those calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

inline constexpr uint32_t kFileAttributeDirectory = 0x10;

struct FoundFile {
  std::string name;
  uint32_t attributes = 0;
};

class FileSearch {
 public:
  virtual ~FileSearch() = default;
  // FindNextFileA; false at the end.
  virtual bool Next(FoundFile* entry) = 0;
};

// FindFirstFileA on `pattern` (a tool path with "\\" separators ending in "\\*.*"); the first
// entry goes to *first. Null when the search cannot start. POSIX lists "." and ".." first and
// the rest by name, as an NTFS folder reads.
std::unique_ptr<FileSearch> FindFirstFile(const std::string& pattern, FoundFile* first);

}  // namespace platform
