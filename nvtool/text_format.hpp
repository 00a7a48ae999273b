// printf-style formatting into strings: the one formatter behind every console and log text.
#pragma once

#include <string>

namespace nvtool {

#if defined(__GNUC__)
#define NVTOOL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define NVTOOL_PRINTF_FORMAT(f, a)
#endif

std::string Format(const char* format, ...) NVTOOL_PRINTF_FORMAT(1, 2);

// The texts of device discovery are wide, but every character in them comes from one byte
// (format text, step names, SCSI identification bytes): widening and narrowing are per byte.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace nvtool
