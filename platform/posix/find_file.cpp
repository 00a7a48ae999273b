#include "platform/find_file.hpp"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/files.hpp"

namespace platform {
namespace {

constexpr uint32_t kFileAttributeArchive = 0x20;

// NTFS keeps a folder's names in the order of their upper-case forms.
bool NtfsBefore(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::toupper(static_cast<unsigned char>(a[i]));
    const int cb = std::toupper(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// "*.*" and "*" take every name, as on Windows, where "*.*" also matches names without a dot.
bool Matches(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*" || pattern == "*") return true;
  return fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

class ListedSearch final : public FileSearch {
 public:
  explicit ListedSearch(std::vector<FoundFile> entries) : entries_(std::move(entries)) {}
  bool Next(FoundFile* entry) override {
    if (next_ >= entries_.size()) return false;
    *entry = entries_[next_++];
    return true;
  }

 private:
  std::vector<FoundFile> entries_;
  size_t next_ = 0;
};

}  // namespace

std::unique_ptr<FileSearch> FindFirstFile(const std::string& pattern, FoundFile* first) {
  const std::string path = NativePath(pattern);
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name_pattern = slash == std::string::npos ? path : path.substr(slash + 1);

  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return nullptr;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && Matches(name_pattern, name)) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), NtfsBefore);
  std::vector<std::string> ordered;
  for (const char* dots : {".", ".."}) {
    if (Matches(name_pattern, dots)) ordered.push_back(dots);
  }
  ordered.insert(ordered.end(), names.begin(), names.end());

  std::vector<FoundFile> entries;
  for (const std::string& name : ordered) {
    FoundFile found;
    found.name = name;
    struct stat st {};
    // Links count as what they point to, as a Windows folder shows them.
    const std::string full = folder + "/" + name;
    found.attributes = (stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                           ? kFileAttributeDirectory
                           : kFileAttributeArchive;
    entries.push_back(found);
  }
  if (entries.empty()) return nullptr;
  auto search = std::make_unique<ListedSearch>(std::move(entries));
  if (!search->Next(first)) return nullptr;
  return search;
}

}  // namespace platform
