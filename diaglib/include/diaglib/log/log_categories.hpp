// Categories of the library log: one bit each, so a mask keeps or drops whole groups of lines.
#pragma once

#include <cstdint>

namespace diaglib {

inline constexpr uint32_t LOG_IO = 0x0001;
inline constexpr uint32_t LOG_FN = 0x0002;
inline constexpr uint32_t LOG_RET = 0x0004;
inline constexpr uint32_t LOG_ASYNC = 0x0008;
inline constexpr uint32_t LOG_ERR = 0x0010;
inline constexpr uint32_t LOG_IO_AHDLC = 0x0020;
inline constexpr uint32_t LOG_FN_AHDLC = 0x0040;
inline constexpr uint32_t LOG_RET_AHDLC = 0x0080;
inline constexpr uint32_t LOG_INF_AHDLC = 0x0100;
inline constexpr uint32_t LOG_C_HIGH_LEVEL_START = 0x0200;
inline constexpr uint32_t LOG_IO_DEV = 0x0400;
inline constexpr uint32_t LOG_FN_DEV = 0x0800;
inline constexpr uint32_t LOG_RET_DEV = 0x1000;
inline constexpr uint32_t LOG_INF_DEV = 0x2000;
inline constexpr uint32_t LOG_C_HIGH_LEVEL_STOP = 0x4000;
inline constexpr uint32_t LOG_NV_MANAGER_DEBUG = 0x8000;

// What a context keeps once its log is started: IO, FN, RET, ASYNC, ERR and both high-level ends.
inline constexpr uint32_t kDefaultLogFlags = 0x421F;

// The name written into the file: that of the lowest set bit, "LOG_IO" for 0 (and for values
// that are negative as signed numbers), "INVALID LOG LEVEL" from bit 16 up.
const char* LogCategoryName(uint32_t category);

// Blanks put in front of a line's text: two for the single HDLC categories, four for the single
// serial-port categories, none for anything else (combinations included).
const char* LogCategoryIndent(uint32_t category);

}  // namespace diaglib
