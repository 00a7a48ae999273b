// Helpers shared by the POSIX adapter's files; not part of the adapter's interface.
#pragma once

#include <cstdint>
#include <string>

namespace platform {
namespace posix {

// The folder below which devices are looked for: DIAG_DEVICE_ROOT, or "/" when unset or empty.
// Never ends in '/', so callers append "/dev/..." (the real root gives "").
std::string DeviceRoot();

// Windows-style error code for an errno value, so that the tools' error handling (written
// against the Windows codes) reads the same on both platforms.
uint32_t ErrorFromErrno(int error_number);

// The text of a small sysfs-style file without its trailing newline; false when it cannot be read.
bool ReadTextFile(const std::string& path, std::string* text);

// The last path component of a link's target as written in the link (not resolved).
bool LinkTargetName(const std::string& link, std::string* name);

// UTF-8 to wide text and back; bytes that are not valid UTF-8 are taken one for one, so
// nothing read from the system is lost on the way.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

}  // namespace posix
}  // namespace platform
