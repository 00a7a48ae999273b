// A run's verdict and why it is not PASS, as values: what the station decides on is compared as
// these, and the words the table and the CSV show are written in one place.
#pragma once

#include <cstdint>
#include <string>

namespace station {

enum class Verdict { kNone, kPass, kFail, kNoDevice, kSkipped, kAborted };

// "PASS", "FAIL", "NO DEVICE", "SKIPPED", "ABORTED"; "" while there is none.
const char* VerdictWord(Verdict verdict);

enum class Why {
  kNone,             // a PASS, or no verdict yet
  kLogLine,          // FAIL: the run log's line that decided it
  kNoFailLine,       // FAIL: the result file says FAIL and the log names no failure
  kExitCode,         // FAIL: the program ended with another exit code
  kNoResult,         // FAIL: the program left no result file
  kNoVerdictWithin,  // FAIL: the limit passed
  kNotStarted,       // FAIL: the run could not start
  kDeviceRemoved,    // FAIL, and SKIPPED for the device's later programs
  kDeviceSwapped,    // FAIL, and SKIPPED for the device's later programs
  kNothingAtSlot,    // NO DEVICE
  kFailedBefore,     // SKIPPED
  kStopped,          // ABORTED while it ran
  kStoppedBefore,    // ABORTED before it started
};

struct Outcome {
  Verdict verdict = Verdict::kNone;
  Why why = Why::kNone;
  std::string text;  // the log line, the launcher's why, the program before, the stop
  std::string step;  // where the run was
  int number = 0;    // the exit code, or the seconds waited

  // The reason as the table and the CSV show it; "" for a PASS.
  std::string Reason() const;
  bool passed() const { return verdict == Verdict::kPass; }
};

Outcome Passed();
Outcome Failed(Why why, const std::string& text = "", int number = 0);
Outcome NoVerdictWithin(int seconds, const std::string& step);
Outcome NothingAtSlot(int seconds);
Outcome Skipped(Why why, const std::string& text = "");
Outcome Stopped(const std::string& why, const std::string& step);
Outcome StoppedBefore(const std::string& why);

}  // namespace station
