#include "test_clock.hpp"

#include <chrono>

namespace testsupport {

uint32_t TestClock::TickCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<uint32_t>(now_ms_);
}

uint64_t TestClock::NowMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_ms_;
}

void TestClock::MoveTo(uint64_t target) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (target > now_ms_) now_ms_ = target;
}

void TestClock::Advance(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ms_ += ms;
}

void TestClock::Pause(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  all_pauses_.push_back(ms);
  if (std::this_thread::get_id() == owner_) pauses_.push_back(ms);
  now_ms_ += ms;
}

platform::LocalTime TestClock::Now() {
  const uint64_t ms = NowMs();
  platform::LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 7;
  t.hour = static_cast<int>((ms / 3600000) % 24);
  t.minute = static_cast<int>((ms / 60000) % 60);
  t.second = static_cast<int>((ms / 1000) % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

bool TestClock::Wait(uint32_t timeout_ms, const std::function<bool(uint32_t)>& wait) {
  const uint64_t start = NowMs();
  const auto real_start = std::chrono::steady_clock::now();
  const bool happened = wait(timeout_ms < cap_ms_ ? timeout_ms : cap_ms_);
  if (happened) {
    const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - real_start)
                             .count();
    MoveTo(start + static_cast<uint64_t>(real_ms));
  } else {
    // Concurrent waits overlap rather than add up: time moves to this wait's deadline.
    MoveTo(start + timeout_ms);
  }
  return happened;
}

std::vector<uint32_t> TestClock::Pauses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pauses_;
}

std::vector<uint32_t> TestClock::AllPauses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return all_pauses_;
}

void TestClock::ClearPauses() {
  std::lock_guard<std::mutex> lock(mutex_);
  pauses_.clear();
  all_pauses_.clear();
}

}  // namespace testsupport
