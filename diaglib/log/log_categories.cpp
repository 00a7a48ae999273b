#include "diaglib/log/log_categories.hpp"

namespace diaglib {

namespace {

constexpr const char* kCategoryNames[17] = {
    "LOG_IO",
    "LOG_FN",
    "LOG_RET",
    "LOG_ASYNC",
    "LOG_ERR",
    "LOG_IO_AHDLC",
    "LOG_FN_AHDLC",
    "LOG_RET_AHDLC",
    "LOG_INF_AHDLC",
    "LOG_C_HIGH_LEVEL_START",
    "LOG_IO_DEV",
    "LOG_FN_DEV",
    "LOG_RET_DEV",
    "LOG_INF_DEV",
    "LOG_C_HIGH_LEVEL_STOP",
    "LOG_NV_MANAGER_DEBUG",
    "INVALID LOG LEVEL",
};

}  // namespace

const char* LogCategoryName(uint32_t category) {
  // A value with the top bit set counts as negative, as the category travels as a signed
  // number in the text-log interface.
  if (category == 0 || static_cast<int32_t>(category) < 0) return kCategoryNames[0];
  int index = 0;
  while ((category & 1u) == 0) {
    category >>= 1;
    ++index;
  }
  return index >= 16 ? kCategoryNames[16] : kCategoryNames[index];
}

const char* LogCategoryIndent(uint32_t category) {
  switch (category) {
    case LOG_IO_AHDLC:
    case LOG_FN_AHDLC:
    case LOG_RET_AHDLC:
    case LOG_INF_AHDLC:
      return "  ";
    case LOG_IO_DEV:
    case LOG_FN_DEV:
    case LOG_RET_DEV:
    case LOG_INF_DEV:
      return "    ";
    default:
      return "";
  }
}

}  // namespace diaglib
