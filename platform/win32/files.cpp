#include <windows.h>

#include <io.h>
#include <share.h>

#include <cstdio>

#include "platform/files.hpp"

namespace platform {
namespace {

class HandleOutputFile final : public OutputFile {
 public:
  explicit HandleOutputFile(HANDLE handle) : handle_(handle) {}
  ~HandleOutputFile() override { Close(); }

  bool Write(const void* bytes, size_t count) override {
    const char* at = static_cast<const char*>(bytes);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    while (count > 0) {
      const DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
      DWORD written = 0;
      if (!WriteFile(handle_, at, chunk, &written, nullptr) || written == 0) return false;
      at += written;
      count -= written;
    }
    return true;
  }

  bool Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed != 0;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::string NativePath(const std::string& tool_path) { return tool_path; }

std::unique_ptr<OutputFile> CreateOutputFile(const std::string& name) {
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<HandleOutputFile>(handle);
}

std::FILE* OpenSharedStream(const std::string& name, const char* mode) {
  return _fsopen(name.c_str(), mode, _SH_DENYNO);
}

namespace {

// Device names (NUL, CON, COMn) open like files, in any folder; only a file on a disk holds
// content.
bool OnDisk(HANDLE handle) {
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

}  // namespace

std::FILE* OpenRegularFileStream(const std::string& name, const char* mode) {
  std::FILE* stream = _fsopen(name.c_str(), mode, _SH_DENYNO);
  if (stream == nullptr) return nullptr;
  if (!OnDisk(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))))) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

bool IsRegularFile(const std::string& tool_path) {
  const DWORD attributes = GetFileAttributesA(tool_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return false;
  // No access asked for: only the kind of file is looked at, nothing is read.
  HANDLE handle =
      CreateFileA(tool_path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool on_disk = OnDisk(handle);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return on_disk;
}

bool RemoveFile(const std::string& name) {
  if (DeleteFileA(name.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool LocalFileSize(const std::string& tool_path, uint32_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(tool_path.c_str(), GetFileExInfoStandard, &data)) return false;
  // Beyond 32 bits the size cannot be given without being wrong.
  if (data.nFileSizeHigh != 0) return false;
  *size = data.nFileSizeLow;
  return true;
}

bool LocalFileStamp(const std::string& tool_path, FileStamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(tool_path.c_str(), GetFileExInfoStandard, &data)) return false;
  stamp->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp->modified =
      static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime);
  return true;
}

}  // namespace platform
