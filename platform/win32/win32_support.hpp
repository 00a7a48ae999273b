// Helpers shared by the Windows adapter's files; not part of the adapter's interface.
#pragma once

#include <windows.h>

#include <cstdint>

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

}  // namespace win32
}  // namespace platform
