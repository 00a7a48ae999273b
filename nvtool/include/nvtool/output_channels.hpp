// The four ways the NV writer speaks: a line (console and run log), raw run-log text, narrow
// console text and wide console text. The run log is one unbuffered file, so it is complete
// whenever the process is stopped.
#pragma once

#include <memory>
#include <string>

#include "nvtool/environment.hpp"

namespace nvtool {

class OutputChannels {
 public:
  explicit OutputChannels(const Environment& env) : env_(env) {}

  // Creates or truncates the run log; false leaves the log closed, and log writes go nowhere.
  bool OpenLog(const std::string& name);
  void CloseLog() { log_.reset(); }

  // Console: the text and CR LF; run log: the text's bytes and CR LF.
  void WriteLogLine(const std::string& text);
  // Run log only, the bytes unchanged.
  void WriteLogRaw(const std::string& text);
  void Console(const std::string& text);
  void ConsoleWide(const std::wstring& text);

 private:
  const Environment& env_;
  std::unique_ptr<platform::OutputFile> log_;
};

}  // namespace nvtool
