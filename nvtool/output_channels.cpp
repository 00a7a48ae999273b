#include "nvtool/output_channels.hpp"

#include "nvtool/wide_text.hpp"

namespace nvtool {

bool OutputChannels::OpenLog(const std::string& name) {
  log_ = env_.create_output_file(name);
  return log_ != nullptr;
}

void OutputChannels::WriteLogLine(const std::string& text) {
  Console(Format("%s\r\n", text.c_str()));
  WriteLogRaw(text);
  WriteLogRaw("\r\n");
}

void OutputChannels::WriteLogRaw(const std::string& text) {
  if (log_ && !text.empty()) log_->Write(text.data(), text.size());
}

void OutputChannels::Console(const std::string& text) { env_.console_write(text); }

void OutputChannels::ConsoleWide(const std::wstring& text) { env_.console_write_wide(text); }

}  // namespace nvtool
