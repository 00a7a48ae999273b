// How the Windows COM time-outs bound one read or write. The Windows driver applies them itself;
// the POSIX port emulates them from this, and the Windows port bounds its own waits by them.
#pragma once

#include <cstdint>

#include "platform/com_port.hpp"

namespace platform {

struct ReadDeadline {
  bool immediate = false;      // only what is already buffered, never a wait
  bool return_on_any = false;  // ends as soon as some bytes are in hand
  bool has_total = false;      // the whole read ends after total_ms
  uint32_t total_ms = 0;
  bool has_interval = false;  // a gap of interval_ms between two bytes ends it
  uint32_t interval_ms = 0;
};

struct WriteDeadline {
  bool has_total = false;  // the whole write ends after total_ms
  uint32_t total_ms = 0;
};

ReadDeadline ReadDeadlineFor(const CommTimeouts& timeouts, uint32_t count);
WriteDeadline WriteDeadlineFor(const CommTimeouts& timeouts, uint32_t count);

}  // namespace platform
