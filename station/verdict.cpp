#include "station/verdict.hpp"

namespace station {

const char* VerdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::kNone:
      return "";
    case Verdict::kPass:
      return "PASS";
    case Verdict::kFail:
      return "FAIL";
    case Verdict::kNoDevice:
      return "NO DEVICE";
    case Verdict::kSkipped:
      return "SKIPPED";
    case Verdict::kAborted:
      return "ABORTED";
  }
  return "";
}

std::string Outcome::Reason() const {
  switch (why) {
    case Why::kNone:
      return "";
    case Why::kLogLine:
      return text;
    case Why::kNoFailLine:
      return "FAIL without a failure line in the run log, last step: " + step;
    case Why::kExitCode:
      return "exit code " + std::to_string(number);
    case Why::kNoResult:
      return "exit code " + std::to_string(number) + ", no verdict";
    case Why::kNoVerdictWithin:
      return "no verdict within " + std::to_string(number) + " s, at: " + step;
    case Why::kNotStarted:
      return "not started: " + text;
    case Why::kDeviceRemoved:
      return "device removed";
    case Why::kDeviceSwapped:
      return "device swapped";
    case Why::kNothingAtSlot:
      return "nothing at the slot within " + std::to_string(number) + " s";
    case Why::kFailedBefore:
      return text + " failed before";
    case Why::kStopped:
      return "stopped (" + text + "), at: " + step;
    case Why::kStoppedBefore:
      return "not started (" + text + ")";
  }
  return "";
}

Outcome Passed() { return {Verdict::kPass, Why::kNone, "", "", 0}; }

Outcome Failed(Why why, const std::string& text, int number) {
  return {Verdict::kFail, why, text, "", number};
}

Outcome NoVerdictWithin(int seconds, const std::string& step) {
  return {Verdict::kFail, Why::kNoVerdictWithin, "", step, seconds};
}

Outcome NothingAtSlot(int seconds) {
  return {Verdict::kNoDevice, Why::kNothingAtSlot, "", "", seconds};
}

Outcome Skipped(Why why, const std::string& text) { return {Verdict::kSkipped, why, text, "", 0}; }

Outcome Stopped(const std::string& why, const std::string& step) {
  return {Verdict::kAborted, Why::kStopped, why, step, 0};
}

Outcome StoppedBefore(const std::string& why) {
  return {Verdict::kAborted, Why::kStoppedBefore, why, "", 0};
}

}  // namespace station
