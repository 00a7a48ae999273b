#include <mutex>

#include "api_device_fixture.hpp"
#include "diaglib/log/data_log_file_handler.hpp"

namespace diaglib_test {
namespace {

// Owned by LogCapture: guards the captured lines.
std::mutex& CaptureMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::string>& Captured() {
  static std::vector<std::string> lines;
  return lines;
}

}  // namespace

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(CaptureMutex());
  Captured().clear();
}

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> lock(CaptureMutex());
  return Captured();
}

void LogCapture::OnLine(int, const void* record, int) {
  std::lock_guard<std::mutex> lock(CaptureMutex());
  Captured().emplace_back(static_cast<const char*>(record) + kTextLogRecordTextOffset);
}

bool LogCapture::Has(const std::string& text) {
  for (const std::string& line : Lines()) {
    if (line == text) return true;
  }
  return false;
}

}  // namespace diaglib_test
