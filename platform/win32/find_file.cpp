#include <windows.h>
// The adapter's own FindFirstFile, not the Windows macro of that name.
#undef FindFirstFile

#include "platform/find_file.hpp"

namespace platform {
namespace {

class Win32Search final : public FileSearch {
 public:
  explicit Win32Search(HANDLE handle) : handle_(handle) {}
  ~Win32Search() override { FindClose(handle_); }

  bool Next(FoundFile* entry) override {
    WIN32_FIND_DATAA data{};
    if (!FindNextFileA(handle_, &data)) return false;
    entry->name = data.cFileName;
    entry->attributes = data.dwFileAttributes;
    return true;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<FileSearch> FindFirstFile(const std::string& pattern, FoundFile* first) {
  WIN32_FIND_DATAA data{};
  HANDLE handle = FindFirstFileA(pattern.c_str(), &data);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  first->name = data.cFileName;
  first->attributes = data.dwFileAttributes;
  return std::make_unique<Win32Search>(handle);
}

}  // namespace platform
