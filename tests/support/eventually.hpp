// Real waiting for what another thread (the virtual device's, the library's reader) does on its
// own, bounded so that a fault fails the test instead of hanging it. Never a production-length
// wait: those go through the test clock.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Polls `condition` every 2 ms for at most `bound_ms` (generous for sanitizer builds on a busy
// machine; only a failing test waits it out); its last answer.
template <typename Condition>
bool Eventually(Condition condition, int bound_ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace testsupport
