#include "efstool/run_context.hpp"

#include <cstdarg>

namespace efstool {

RunContext::RunContext(const VodeApi& api, platform::Clock& clock, Console& console)
    : api(api), clock(clock), console(console) {}

void RunContext::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = common::FormatV(format, args);
  va_end(args);
  console.Write(text);
}

}  // namespace efstool
