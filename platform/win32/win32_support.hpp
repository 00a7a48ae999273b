// Helpers shared by the Windows adapter's files; not part of the adapter's interface.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace platform {
namespace win32 {

// The error code of the calling thread's last adapter call: 0 after success, GetLastError()
// after a failure. Kept by the adapter itself because a successful Windows call need not
// clear the thread's own code.
uint32_t& ThreadLastError();

inline bool Succeeded(bool ok) {
  ThreadLastError() = ok ? 0u : static_cast<uint32_t>(GetLastError());
  return ok;
}

// Narrow texts of the programs are in the system's code page, as the narrow file functions take
// them.
inline std::wstring WideFromAnsi(const std::string& text) {
  if (text.empty()) return L"";
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

}  // namespace win32
}  // namespace platform
