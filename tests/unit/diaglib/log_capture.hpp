// Collects the lines a DataLogFileHandler hands to its text-log callback, from any thread.
#pragma once

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "diaglib/log/data_log_file_handler.hpp"

namespace transport_test {

struct CapturedLine {
  uint16_t category;
  uint32_t milliseconds;
  std::string text;
};

class LogCapture {
 public:
  // One capture at a time: the callback has no pointer of its own to find it by.
  explicit LogCapture(DataLogFileHandler* handler, uint32_t mask = 0xFFFFFFFFu) : handler_(handler) {
    Current() = this;
    handler->SetMask(mask);
    handler->SetTextLogCallBack(&LogCapture::OnLine, 77);
  }
  ~LogCapture() {
    handler_->SetTextLogCallBack(nullptr, 0);
    Current() = nullptr;
  }

  std::vector<CapturedLine> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const CapturedLine& line : Lines()) texts.push_back(line.text);
    return texts;
  }
  bool Has(const std::string& text) const { return Count(text) > 0; }
  int Count(const std::string& text) const {
    const std::vector<std::string> texts = Texts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }
  bool HasPrefix(const std::string& prefix) const {
    for (const std::string& text : Texts()) {
      if (text.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  }
  // Index of the first line equal to `text` at or after `from`, or -1.
  int Find(const std::string& text, int from = 0) const {
    const std::vector<std::string> texts = Texts();
    for (size_t i = static_cast<size_t>(from); i < texts.size(); ++i) {
      if (texts[i] == text) return static_cast<int>(i);
    }
    return -1;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    records_.clear();
  }
  int context_seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return context_;
  }
  std::vector<std::vector<uint8_t>> Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  static LogCapture*& Current() {
    static LogCapture* current = nullptr;
    return current;
  }
  static void OnLine(int size, const void* record, int context) {
    LogCapture* self = Current();
    if (self == nullptr) return;
    const uint8_t* bytes = static_cast<const uint8_t*>(record);
    CapturedLine line;
    line.category = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    line.milliseconds = static_cast<uint32_t>(bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) |
                                              (static_cast<uint32_t>(bytes[7]) << 24));
    line.text = reinterpret_cast<const char*>(bytes + kTextLogRecordTextOffset);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->context_ = context;
    self->lines_.push_back(line);
    self->records_.emplace_back(bytes, bytes + size);
  }

  DataLogFileHandler* handler_;
  mutable std::mutex mutex_;  // owned by the capture; guards the collected lines
  std::vector<CapturedLine> lines_;
  std::vector<std::vector<uint8_t>> records_;
  int context_ = 0;
};

}  // namespace transport_test
