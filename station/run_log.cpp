#include "station/run_log.hpp"

#include <cctype>
#include <string>
#include <vector>

#include "common/itemsmith_contract.hpp"
#include "common/treesmith_contract.hpp"

namespace station {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool StartsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(Trim(text.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

// treesmith's steps whose failure does not count: the offline switch and the delete sets
// (a folder that is not there cannot be emptied), except the marker delete of its own mode.
bool StepCounts(const std::string& step) {
  if (step == "EnterOfflineMode") return false;
  return !StartsWith(step, "Delete") || step == "DeleteDL_Processing";
}

}  // namespace

std::string CurrentStep(Program program, const std::string& log_tail) {
  std::string step;
  for (const std::string& line : Lines(log_tail)) {
    if (program == Program::kTreesmith) {
      const std::string opened = common::treesmith::OpenedStep(line);
      if (!opened.empty()) step = opened;
    } else if (EndsWith(line, common::itemsmith::kStepBannerEnd)) {
      step = line.substr(0, line.size() - std::string(common::itemsmith::kStepBannerEnd).size());
    } else if (line.size() > 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
               line.compare(1, 2, ". ") == 0) {
      // "5. *** start to burn nv item *** " reads "5. start to burn nv item"
      std::string text;
      for (const char c : line) {
        if (c != '*') text.push_back(c);
      }
      std::string squeezed;
      for (const char c : Trim(text)) {
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' ')) squeezed.push_back(c);
      }
      step = squeezed;
    }
  }
  return step;
}

std::string FailLine(Program program, const std::string& log) {
  std::string found, step;
  for (const std::string& line : Lines(log)) {
    if (program == Program::kItemsmith) {
      if (common::itemsmith::EndsRunWithFail(line)) found = line;
      continue;
    }
    const std::string opened = common::treesmith::OpenedStep(line);
    if (!opened.empty()) step = opened;
    if (line.find("FAIL") != std::string::npos && StepCounts(step)) return line;
  }
  return found;
}

bool ResetSent(Program program, const std::string& log_tail) {
  if (program != Program::kItemsmith) return false;
  for (const char* line : {common::itemsmith::kResetDone, common::itemsmith::kFatalReset}) {
    if (log_tail.find(Trim(line)) != std::string::npos) return true;
  }
  return false;
}

}  // namespace station
