// printf-style formatting into strings, and the attribute that lets the compiler check every
// call's arguments against its format, for both programs and the library.
#pragma once

#include <cstdarg>
#include <string>

#if defined(__GNUC__)
#define COMMON_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define COMMON_PRINTF_FORMAT(format_index, first_arg)
#endif

namespace common {

std::string Format(const char* format, ...) COMMON_PRINTF_FORMAT(1, 2);
std::string FormatV(const char* format, va_list args);

}  // namespace common
