#include "posix_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace platform {
namespace posix {

std::string DeviceRoot() {
  const char* root = std::getenv("DIAG_DEVICE_ROOT");
  std::string path = (root != nullptr && root[0] != '\0') ? root : "/";
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

uint32_t ErrorFromErrno(int error_number) {
  switch (error_number) {
    case 0:
      return 0;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
      return 2;  // ERROR_FILE_NOT_FOUND
    case EACCES:
    case EPERM:
    case EBUSY:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return 5;  // ERROR_ACCESS_DENIED
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

bool ReadTextFile(const std::string& path, std::string* text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string content;
  char chunk[512];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) return false;
  while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) content.pop_back();
  *text = content;
  return true;
}

bool LinkTargetName(const std::string& link, std::string* name) {
  char target[4096];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  std::string text(target, static_cast<size_t>(n));
  while (!text.empty() && text.back() == '/') text.pop_back();
  const size_t slash = text.find_last_of('/');
  *name = slash == std::string::npos ? text : text.substr(slash + 1);
  return !name->empty();
}

}  // namespace posix
}  // namespace platform
