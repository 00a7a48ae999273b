// The error numbers of the adapter's calls.
#pragma once

#include <cstdint>

namespace platform {

// The error numbers the adapter reports, Windows's own on both systems: the tools log them and
// compare them, and a line reads the same numbers whichever system it runs.
enum PlatformError : uint32_t {
  kErrorNone = 0,
  kErrorFileNotFound = 2,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorGenFailure = 31,
  kErrorInvalidParameter = 87,
  kErrorInsufficientBuffer = 122,
  kErrorNoMoreItems = 259,
  kErrorOperationAborted = 995,
  kErrorTimeout = 1460,
};

}  // namespace platform
