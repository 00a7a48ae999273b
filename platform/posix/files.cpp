#include "platform/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {
namespace {

class DescriptorOutputFile final : public OutputFile {
 public:
  explicit DescriptorOutputFile(int fd) : fd_(fd) {}
  ~DescriptorOutputFile() override { Close(); }

  // Straight to the file, so the log is complete even if the process is killed.
  bool Write(const void* bytes, size_t count) override {
    const char* at = static_cast<const char*>(bytes);
    while (count > 0) {
      const ssize_t n = ::write(fd_, at, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      at += n;
      count -= static_cast<size_t>(n);
    }
    return true;
  }

  bool Close() override {
    if (fd_ < 0) return false;
    const int fd = fd_;
    fd_ = -1;
    // Retrying after EINTR could close a descriptor another thread has just been given.
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace

std::string NativePath(const std::string& tool_path) {
  std::string path = tool_path;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::unique_ptr<OutputFile> CreateOutputFile(const std::string& name) {
  const int fd = ::open(NativePath(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<DescriptorOutputFile>(fd);
}

std::FILE* OpenSharedStream(const std::string& name, const char* mode) {
  return std::fopen(NativePath(name).c_str(), mode);
}

std::FILE* OpenRegularFileStream(const std::string& name, const char* mode) {
  // Without O_NONBLOCK the open of a pipe would wait for a writer before it could be refused.
  const int fd = ::open(NativePath(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* stream = ::fdopen(fd, mode);
  if (stream == nullptr) ::close(fd);
  return stream;
}

bool IsRegularFile(const std::string& tool_path) {
  struct stat st {};
  return ::stat(NativePath(tool_path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RemoveFile(const std::string& name) {
  return ::unlink(NativePath(name).c_str()) == 0 || errno == ENOENT;
}

bool LocalFileSize(const std::string& tool_path, uint32_t* size) {
  struct stat st {};
  if (::stat(NativePath(tool_path).c_str(), &st) != 0) return false;
  // A folder has no size of its own on Windows.
  if (S_ISDIR(st.st_mode)) {
    *size = 0;
    return true;
  }
  // Beyond 32 bits the size cannot be given without being wrong.
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > 0xFFFFFFFFull) return false;
  *size = static_cast<uint32_t>(st.st_size);
  return true;
}

bool LocalFileStamp(const std::string& tool_path, FileStamp* stamp) {
  struct stat st {};
  if (::stat(NativePath(tool_path).c_str(), &st) != 0 || st.st_size < 0) return false;
  stamp->size = static_cast<uint64_t>(st.st_size);
  stamp->modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

}  // namespace platform
