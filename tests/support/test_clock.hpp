// A clock with its own time for tests: pauses return at once and move the time on, waits block
// for real only up to a short cap and move the time to their deadline when nothing came.
// Every pause asked for is recorded. Safe to use from several threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.hpp"

namespace testsupport {

class TestClock final : public platform::Clock {
 public:
  explicit TestClock(uint32_t real_wait_cap_ms = 200) : cap_ms_(real_wait_cap_ms) {}

  uint32_t TickCount() override;
  void Pause(uint32_t ms) override;
  platform::LocalTime Now() override;
  bool Wait(uint32_t timeout_ms, const std::function<bool(uint32_t)>& wait) override;

  // Pauses asked for so far, in order (only those from the thread that built the clock, so a
  // library's background threads do not mix into what a test asserts), and all of them.
  std::vector<uint32_t> Pauses() const;
  std::vector<uint32_t> AllPauses() const;
  void ClearPauses();
  uint64_t NowMs() const;
  void Advance(uint32_t ms);

 private:
  void MoveTo(uint64_t target);

  const uint32_t cap_ms_;
  const std::thread::id owner_ = std::this_thread::get_id();
  mutable std::mutex mutex_;  // guards now_ms_ and the pause lists
  uint64_t now_ms_ = 1000000;
  std::vector<uint32_t> pauses_;
  std::vector<uint32_t> all_pauses_;
};

}  // namespace testsupport
