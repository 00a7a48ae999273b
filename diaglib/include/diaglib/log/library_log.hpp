// A context's log: its DataLogFileHandler plus the log flags and logging-active flag that the
// context keeps beside it. Used from the context's caller thread; the handler itself may be
// written from any thread.
#pragma once

#include <cstdint>

#include "diaglib/log/vode_callbacks.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"

namespace platform {
class Clock;
}

namespace diaglib {

inline constexpr char kAutoStartLogTrigger[] = "VODE_auto_start_log.txt";
inline constexpr char kLibraryLogFile[] = "VODE_Log.txt";

class LibraryLog {
 public:
  explicit LibraryLog(platform::Clock& clock);

  // VODE_SetLogFlags: the mask and the context's log flags.
  bool SetLogFlags(uint32_t flags);
  // VODE_StartLogging: the file log with the context's log flags as mask.
  bool StartLogging(const char* file);
  // VODE_StopLogging: closes the file; the mask stays, so the callback keeps getting lines.
  bool StopLogging();
  // Starts logging to VODE_Log.txt when the trigger file is in the working folder; true then.
  bool AutoStart();
  void SetTextLogCallBack(VODE_TextLogCallBack callback, int context);

  DataLogFileHandler* Handler() { return &handler_; }
  bool LoggingActive() const { return logging_active_; }

 private:
  DataLogFileHandler handler_;
  uint32_t log_flags_ = kDefaultLogFlags;
  bool logging_active_ = false;
};

}  // namespace diaglib
