#include "diaglib/transport/sync_event.hpp"

#include <chrono>

#include "platform/clock.hpp"

namespace diaglib {

void SyncEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  if (mode_ == Mode::kAutoReset) {
    changed_.notify_one();
  } else {
    changed_.notify_all();
  }
}

void SyncEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool SyncEvent::ConsumeLocked() {
  if (!signalled_) return false;
  if (mode_ == Mode::kAutoReset) signalled_ = false;
  return true;
}

bool SyncEvent::WaitFor(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; })) {
    return false;
  }
  return ConsumeLocked();
}

void SyncEvent::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return signalled_; });
  ConsumeLocked();
}

bool SyncEvent::Poll() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ConsumeLocked();
}

bool WaitEvent(platform::Clock& clock, SyncEvent& event, uint32_t timeout_ms) {
  return clock.Wait(timeout_ms, [&event](uint32_t real_ms) { return event.WaitFor(real_ms); });
}

}  // namespace diaglib
