// One context's log writer: filters lines by category, writes kept ones to the log file (once
// the file log has been started) and hands them to the client's text-log callback.
// Safe to use from the caller's, the reader's and the dispatcher's thread at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "common/text_format.hpp"
#include "diaglib/log/vode_callbacks.hpp"

namespace platform {
class Clock;
}

namespace diaglib {

// The record handed to the text-log callback.
inline constexpr size_t kTextLogRecordSize = 1008;
inline constexpr size_t kTextLogRecordTextOffset = 8;
inline constexpr size_t kTextLogRecordMaxText = 999;
// Formatting area of one line (indent included); longer lines are cut.
inline constexpr size_t kLogLineCapacity = 12288;
inline constexpr size_t kLogFileNameMax = 502;

// Fills `record` (kTextLogRecordSize bytes): low 16 bits of the category, two zero bytes,
// the milliseconds little-endian, then the text cut to 999 bytes and zero-filled.
void BuildTextLogRecord(uint32_t category, uint32_t milliseconds, const char* text,
                        uint8_t* record);

class DataLogFileHandler {
 public:
  explicit DataLogFileHandler(platform::Clock& clock);
  virtual ~DataLogFileHandler();
  DataLogFileHandler(const DataLogFileHandler&) = delete;
  DataLogFileHandler& operator=(const DataLogFileHandler&) = delete;

  // Closes a file left open, takes a new time base and writes the header lines; the first of
  // them opens the file.
  virtual bool StartLog();
  // Writes "Stop Log" when a file is open, closes it and takes a new time base.
  bool StopLog();
  // Writes one line to the file when the file log was started; always 1.
  int LineTextOut(const char* text, uint32_t category);

  void SetMask(uint32_t mask) { mask_.store(mask, std::memory_order_relaxed); }
  uint32_t Mask() const { return mask_.load(std::memory_order_relaxed); }
  bool Keeps(uint32_t category) const { return (category & Mask()) != 0; }

  // Up to kLogFileNameMax characters are kept; null or "" empties the name.
  void SetFileName(const char* name);
  void MarkStarted();
  bool IsFileOpen() const;

  void SetTextLogCallBack(VODE_TextLogCallBack callback, int context);

  // A line already formatted with its indent: to the file, then to the callback.
  void Emit(uint32_t category, const char* text);

  platform::Clock& clock() { return clock_; }

 private:
  int LineTextOutLocked(const char* text, uint32_t category);
  void CloseFileLocked();

  platform::Clock& clock_;
  std::atomic<uint32_t> mask_{0};
  // Owned by this handler; guards everything below it so that a line's time stamp and body
  // reach the file together.
  mutable std::mutex mutex_;
  char file_name_[kLogFileNameMax + 1] = {};
  std::FILE* file_ = nullptr;
  bool started_ = false;
  uint32_t time_base_ = 0;
  VODE_TextLogCallBack callback_ = nullptr;
  int callback_context_ = 0;
};

// The library's one entry for log lines: nothing for a null handler or a category outside the
// mask; otherwise indent, format and hand the line on.
void WriteLog(DataLogFileHandler* handler, uint32_t category, const char* format, ...)
    COMMON_PRINTF_FORMAT(3, 4);

}  // namespace diaglib
