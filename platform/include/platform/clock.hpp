// The one source of time for every tool: tick count, pauses and bounded waits all pass through
// a Clock that is handed in, so tests can replace it with one that runs on its own time.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds since some start, wrapping at 2^32 like the Windows tick count.
  virtual uint32_t TickCount() = 0;

  // A deliberate pause (retry waits, post-switch delays).
  virtual void Pause(uint32_t ms) = 0;

  // Wall-clock time for log stamps.
  virtual LocalTime Now() = 0;

  // A wait for I/O or an event bounded by `timeout_ms`. `wait` performs the real blocking wait
  // for at most the real time it is given and returns true when what it waits for happened.
  // The real clock hands it the whole time-out; a test clock hands it a short cap and, when
  // nothing came, moves its own time on by the whole time-out.
  virtual bool Wait(uint32_t timeout_ms, const std::function<bool(uint32_t real_ms)>& wait) = 0;
};

// The operating system's clock; one per process, safe to use from any thread.
Clock& RealClock();

}  // namespace platform
