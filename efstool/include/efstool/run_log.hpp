// The run log: every line the steps log, flushed at once, so a line script reading the file
// while the run goes on, or after it was killed, sees every line written so far.
#pragma once

#include <cstdio>
#include <string>

#include "common/text_format.hpp"

namespace efstool {

class RunLog {
 public:
  RunLog() = default;
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Opens `name` ("w+", readable by others) as the file Message writes to, closing the one
  // before. A log that cannot be created leaves the run without one; the run goes on.
  void Open(const std::string& name);
  void Close();
  void Message(const char* format, ...) COMMON_PRINTF_FORMAT(2, 3);
  // The banners around a step, which the station reads to show where a run is.
  void StepOpens(const char* step);
  void StepCloses(const char* step);

 private:
  std::FILE* stream_ = nullptr;
};

}  // namespace efstool
