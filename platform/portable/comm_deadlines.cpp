#include "platform/portable/comm_deadlines.hpp"

namespace platform {
namespace {

// A total past the 32-bit tick range would never be reached; it is kept just inside it.
uint32_t Clamp(uint64_t ms) { return ms >= kMaxDword ? kMaxDword - 1 : static_cast<uint32_t>(ms); }

}  // namespace

ReadDeadline ReadDeadlineFor(const CommTimeouts& t, uint32_t count) {
  ReadDeadline d;
  const bool interval_max = t.ReadIntervalTimeout == kMaxDword;
  // Interval MAXDWORD with no total time-out: only what is buffered.
  d.immediate =
      interval_max && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  // Interval MAXDWORD otherwise: return as soon as some bytes are in hand.
  d.return_on_any = interval_max;
  d.has_total = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
  if (t.ReadTotalTimeoutMultiplier == kMaxDword) {
    d.total_ms = Clamp(t.ReadTotalTimeoutConstant);
  } else {
    d.total_ms = Clamp(static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                       t.ReadTotalTimeoutConstant);
  }
  d.has_interval = t.ReadIntervalTimeout != 0 && !interval_max;
  d.interval_ms = d.has_interval ? t.ReadIntervalTimeout : 0;
  return d;
}

WriteDeadline WriteDeadlineFor(const CommTimeouts& t, uint32_t count) {
  WriteDeadline d;
  d.has_total = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
  d.total_ms = Clamp(static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count +
                     t.WriteTotalTimeoutConstant);
  return d;
}

}  // namespace platform
