#include "common/itemsmith_contract.hpp"

#include <cctype>
#include <cstring>

namespace common::itemsmith {
namespace {

// How a fatal line starts in the log once its line ends are trimmed: a formatted one up to its
// first field ("---- Write NV items "), a fixed one whole.
std::string StartOf(const char* fatal) {
  std::string text = fatal;
  const size_t field = text.find('%');
  if (field != std::string::npos) {
    text.resize(field);
  } else {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  }
  size_t begin = 0;
  while (begin < text.size() && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  return text.substr(begin);
}

}  // namespace

bool EndsRunWithFail(const std::string& line) {
  static const char* const kFatal[] = {kFatalTovikRunning, kFatalNoPortAfterEject, kFatalOffline,
                                       kFatalItemFormat, kFatalReset};
  for (const char* fatal : kFatal) {
    const std::string start = StartOf(fatal);
    if (line.compare(0, start.size(), start) == 0) return true;
  }
  return false;
}

}  // namespace common::itemsmith
