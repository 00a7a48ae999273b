// Files of the working folder: run logs, verdict files and local source files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace platform {

// Tool paths use "\\" as separator; this gives the path the platform's file calls take.
std::string NativePath(const std::string& tool_path);

// A file created or truncated for writing, shared for reading, written unbuffered
// (CreateFile with GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL).
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // False when not every byte was written.
  virtual bool Write(const void* bytes, size_t count) = 0;
  // False when the file system refused what was written (a full disk may say so only here).
  // Nothing is written after it; the destructor closes a file that was not closed.
  virtual bool Close() = 0;
};
std::unique_ptr<OutputFile> CreateOutputFile(const std::string& name);

// A stream opened with `mode`, readable by other programs while open (_fsopen with
// _SH_DENYNO on Windows, fopen on POSIX). Null on failure.
std::FILE* OpenSharedStream(const std::string& name, const char* mode);

// As OpenSharedStream with a read `mode` ("r" or "rb"), for a regular file only (a link to one
// is followed). A folder, a device or a pipe gives null: reading it fails, never ends or
// yields bytes nobody wrote as content. A pipe is never waited for.
std::FILE* OpenRegularFileStream(const std::string& name, const char* mode);

// True when a local file (a tool path) is a regular file, a link to one included.
bool IsRegularFile(const std::string& tool_path);

// True when no file of that name is left: it was removed, or there was none. False for one
// that stays (read-only, or a folder of that name).
bool RemoveFile(const std::string& name);

// The size of a local file (a tool path); false when it cannot be queried.
bool LocalFileSize(const std::string& tool_path, uint32_t* size);

// What shows that a local file changed: its size and the time it was last written.
struct FileStamp {
  uint64_t size = 0;
  int64_t modified = 0;  // in the platform's own units
  bool operator==(const FileStamp& other) const {
    return size == other.size && modified == other.modified;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};
// False when the file cannot be queried.
bool LocalFileStamp(const std::string& tool_path, FileStamp* stamp);

}  // namespace platform
