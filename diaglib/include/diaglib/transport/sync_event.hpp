// An event object for the library's threads: manual reset (stays signalled until reset) or
// auto reset (one successful wait consumes it).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {
class Clock;
}

namespace diaglib {

class SyncEvent {
 public:
  enum class Mode { kManualReset, kAutoReset };

  explicit SyncEvent(Mode mode) : mode_(mode) {}
  SyncEvent(const SyncEvent&) = delete;
  SyncEvent& operator=(const SyncEvent&) = delete;

  void Set();
  void Reset();
  // A real wait of at most `ms`; true when signalled.
  bool WaitFor(uint32_t ms);
  // Waits without limit.
  void Wait();
  // Looks without waiting; an auto-reset event is consumed by a true answer.
  bool Poll();

 private:
  bool ConsumeLocked();

  const Mode mode_;
  std::mutex mutex_;  // owned by this event; guards signalled_
  std::condition_variable changed_;
  bool signalled_ = false;
};

// A wait for `event` bounded by `timeout_ms`, timed through `clock`.
bool WaitEvent(platform::Clock& clock, SyncEvent& event, uint32_t timeout_ms);

}  // namespace diaglib
