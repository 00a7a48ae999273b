#include "posix_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "platform/error_codes.hpp"

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
      return kErrorNone;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return kErrorAccessDenied;
    default:
      return kErrorGenFailure;
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

std::wstring WideFromUtf8(const std::string& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t code = lead;
    if (lead >= 0xF0 && lead < 0xF8) {
      extra = 3;
      code = lead & 0x07;
    } else if (lead >= 0xE0) {
      extra = lead < 0xF0 ? 2 : 0;
      code = lead & 0x0F;
    } else if (lead >= 0xC2) {
      extra = 1;
      code = lead & 0x1F;
    }
    bool valid = extra > 0;
    for (size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size()) {
        valid = false;
        break;
      }
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    if (valid) {
      out.push_back(static_cast<wchar_t>(code));
      i += extra + 1;
    } else {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
    }
  }
  return out;
}

std::string Utf8FromWide(const std::wstring& text) {
  std::string out;
  for (const wchar_t wc : text) {
    const uint32_t c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | ((c >> 18) & 0x07)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace posix
}  // namespace platform
