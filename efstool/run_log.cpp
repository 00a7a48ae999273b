#include "efstool/run_log.hpp"

#include <cstdarg>
#include <cstring>

#include "common/treesmith_contract.hpp"
#include "platform/files.hpp"

namespace efstool {

RunLog::~RunLog() { Close(); }

void RunLog::Open(const std::string& name) {
  Close();
  stream_ = platform::OpenSharedStream(platform::NativePath(name), "w+");
}

void RunLog::Close() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
}

void RunLog::Message(const char* format, ...) {
  char text[4096];
  std::memset(text, 0, sizeof text);
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (stream_ != nullptr) {
    std::fputs(text, stream_);
    std::fflush(stream_);
  }
}

void RunLog::StepOpens(const char* step) { Message(common::treesmith::kStepOpenFormat, step); }

void RunLog::StepCloses(const char* step) { Message(common::treesmith::kStepCloseFormat, step); }

}  // namespace efstool
