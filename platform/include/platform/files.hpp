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
  virtual bool Write(const void* bytes, size_t count) = 0;
};
std::unique_ptr<OutputFile> CreateOutputFile(const std::string& name);

// A stream opened with `mode`, readable by other programs while open (_fsopen with
// _SH_DENYNO on Windows, fopen on POSIX). Null on failure.
std::FILE* OpenSharedStream(const std::string& name, const char* mode);

bool RemoveFile(const std::string& name);

// The size of a local file (a tool path); false when it cannot be queried.
bool LocalFileSize(const std::string& tool_path, uint32_t* size);

}  // namespace platform
