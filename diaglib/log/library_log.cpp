#include "diaglib/log/library_log.hpp"

#include <cstdio>

namespace diaglib {

LibraryLog::LibraryLog(platform::Clock& clock) : handler_(clock) {}

bool LibraryLog::SetLogFlags(uint32_t flags) {
  WriteLog(&handler_, LOG_FN, "VODE_SetLogFlags(uiLogFlags=0x%04X)", flags);
  handler_.SetMask(flags);
  log_flags_ = flags;
  return true;
}

bool LibraryLog::StartLogging(const char* file) {
  WriteLog(&handler_, LOG_FN, "VODE_StartLogging( sLogFile = %s)", file != nullptr ? file : "");
  handler_.SetFileName(file);
  handler_.SetMask(log_flags_);
  handler_.MarkStarted();
  logging_active_ = handler_.StartLog();
  return logging_active_;
}

bool LibraryLog::StopLogging() {
  WriteLog(&handler_, LOG_FN, "VODE_StopLogging()");
  handler_.SetFileName("");
  handler_.StopLog();
  logging_active_ = false;
  return true;
}

bool LibraryLog::AutoStart() {
  std::FILE* trigger = std::fopen(kAutoStartLogTrigger, "r");
  if (trigger == nullptr) return false;
  std::fclose(trigger);
  SetLogFlags(kDefaultLogFlags);
  StartLogging(kLibraryLogFile);
  return true;
}

void LibraryLog::SetTextLogCallBack(VODE_TextLogCallBack callback, int context) {
  handler_.SetTextLogCallBack(callback, context);
}

}  // namespace diaglib
