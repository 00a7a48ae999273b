// Collects the lines a DataLogFileHandler hands to its text-log callback, from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "diaglib/log/data_log_file_handler.hpp"

using namespace diaglib;  // the library's own classes under test

namespace transport_test {

class LogCapture {
 public:
  // One capture at a time: the callback has no pointer of its own to find it by.
  explicit LogCapture(DataLogFileHandler* handler, uint32_t mask = 0xFFFFFFFFu)
      : handler_(handler) {
    Current() = this;
    handler->SetMask(mask);
    handler->SetTextLogCallBack(&LogCapture::OnLine, 77);
  }
  ~LogCapture() {
    handler_->SetTextLogCallBack(nullptr, 0);
    Current() = nullptr;
  }

  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& record : records_)
      texts.emplace_back(reinterpret_cast<const char*>(record.data() + 8));
    return texts;
  }
  std::vector<std::vector<uint8_t>> Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  // Index of the first line at or after `from` equal to `text` (or starting with it when
  // `prefix`), -1 when there is none.
  int Find(const std::string& text, int from = 0, bool prefix = false) const {
    const std::vector<std::string> texts = Texts();
    for (size_t i = static_cast<size_t>(from); i < texts.size(); ++i) {
      if (prefix ? texts[i].compare(0, text.size(), text) == 0 : texts[i] == text)
        return static_cast<int>(i);
    }
    return -1;
  }
  bool Has(const std::string& text) const { return Find(text) >= 0; }
  bool HasPrefix(const std::string& text) const { return Find(text, 0, true) >= 0; }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
  }

 private:
  static LogCapture*& Current() {
    static LogCapture* current = nullptr;
    return current;
  }
  static void OnLine(int size, const void* record, int context) {
    LogCapture* self = Current();
    if (self == nullptr || context != 77) return;
    const uint8_t* bytes = static_cast<const uint8_t*>(record);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->records_.emplace_back(bytes, bytes + size);
  }

  DataLogFileHandler* handler_;
  mutable std::mutex mutex_;  // owned by the capture; guards records_
  std::vector<std::vector<uint8_t>> records_;
};

}  // namespace transport_test
