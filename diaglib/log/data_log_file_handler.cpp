#include "diaglib/log/data_log_file_handler.hpp"

#include <cstdarg>
#include <cstring>

#include "diaglib/log/log_categories.hpp"
#include "platform/clock.hpp"

namespace diaglib {

void BuildTextLogRecord(uint32_t category, uint32_t milliseconds, const char* text,
                        uint8_t* record) {
  std::memset(record, 0, kTextLogRecordSize);
  record[0] = static_cast<uint8_t>(category & 0xFF);
  record[1] = static_cast<uint8_t>((category >> 8) & 0xFF);
  for (int i = 0; i < 4; ++i)
    record[4 + i] = static_cast<uint8_t>((milliseconds >> (8 * i)) & 0xFF);
  size_t length = std::strlen(text);
  if (length > kTextLogRecordMaxText) length = kTextLogRecordMaxText;
  std::memcpy(record + kTextLogRecordTextOffset, text, length);
}

DataLogFileHandler::DataLogFileHandler(platform::Clock& clock)
    : clock_(clock), time_base_(clock.TickCount()) {}

DataLogFileHandler::~DataLogFileHandler() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseFileLocked();
}

void DataLogFileHandler::CloseFileLocked() {
  if (file_ == nullptr) return;
  // Written whatever the mask: the file always shows where it ends.
  LineTextOutLocked("Stop Log", LOG_IO);
  std::fclose(file_);
  file_ = nullptr;
}

bool DataLogFileHandler::StartLog() {
  StopLog();
  WriteLog(this, LOG_FN, "Start Log");
  if (IsFileOpen()) {
    const platform::LocalTime now = clock_.Now();
    WriteLog(this, LOG_FN, "%02d/%02d/%02d, %02d:%02d:%02d", now.month, now.day, now.year % 100,
             now.hour, now.minute, now.second);
  }
  const uint32_t mask = Mask();
  WriteLog(this, LOG_FN, "Enabled Log Flag Mask: %d (0x%X)", static_cast<int>(mask), mask);
  char name[kLogFileNameMax + 1];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(name, file_name_, sizeof name);
  }
  WriteLog(this, LOG_FN, "Log file: %s", name);
  return true;
}

bool DataLogFileHandler::StopLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseFileLocked();
  time_base_ = clock_.TickCount();
  return true;
}

int DataLogFileHandler::LineTextOut(const char* text, uint32_t category) {
  std::lock_guard<std::mutex> lock(mutex_);
  return LineTextOutLocked(text, category);
}

int DataLogFileHandler::LineTextOutLocked(const char* text, uint32_t category) {
  if (!started_) return 1;
  if (file_ == nullptr && file_name_[0] != '\0') {
    file_ = std::fopen(file_name_, "w");
  }
  if (file_ != nullptr) {
    const platform::LocalTime now = clock_.Now();
    std::fprintf(file_, "%02d:%02d:%03d\t", now.minute, now.second, now.millisecond);
    std::fprintf(file_, ",%s,%s\n", LogCategoryName(category), text);
    std::fflush(file_);
  }
  return 1;
}

void DataLogFileHandler::SetFileName(const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (name == nullptr) name = "";
  std::strncpy(file_name_, name, kLogFileNameMax);
  file_name_[kLogFileNameMax] = '\0';
}

void DataLogFileHandler::MarkStarted() {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = true;
}

bool DataLogFileHandler::IsFileOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_ != nullptr;
}

void DataLogFileHandler::SetTextLogCallBack(VODE_TextLogCallBack callback, int context) {
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = callback;
  callback_context_ = context;
}

void DataLogFileHandler::Emit(uint32_t category, const char* text) {
  VODE_TextLogCallBack callback;
  int context;
  uint32_t elapsed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LineTextOutLocked(text, category);
    callback = callback_;
    context = callback_context_;
    elapsed = clock_.TickCount() - time_base_;
  }
  // Outside the lock: a callback that logs through the library must not deadlock.
  if (callback != nullptr) {
    uint8_t record[kTextLogRecordSize];
    BuildTextLogRecord(category, elapsed, text, record);
    callback(static_cast<int>(kTextLogRecordSize), record, context);
  }
}

void WriteLog(DataLogFileHandler* handler, uint32_t category, const char* format, ...) {
  if (handler == nullptr || !handler->Keeps(category)) return;
  char line[kLogLineCapacity];
  const char* indent = LogCategoryIndent(category);
  const size_t indent_length = std::strlen(indent);
  std::memcpy(line, indent, indent_length);
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + indent_length, sizeof line - indent_length, format, args);
  va_end(args);
  handler->Emit(category, line);
}

}  // namespace diaglib
