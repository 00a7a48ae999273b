// The reader thread's passes against ports that wait in each way a real one can: a quiet line
// (the wait sleeps until something ends it), a pulled device (the wait and the read fail at
// once), and a platform whose wait fails while its reads still work. The reader must neither
// wake without cause nor spin, and must still acknowledge a pause and a stop at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "diaglib/transport/thread_interface.hpp"
#include "platform/com_port.hpp"
#include "test_clock.hpp"

using namespace diaglib;  // the library's own classes under test

namespace {

enum class Line { kQuiet, kPulled, kNoWait };

class ScriptedWaitPort final : public platform::ComPort {
 public:
  ScriptedWaitPort(Line line, std::atomic<int>* waits) : line_(line), waits_(waits) {}
  uint32_t Open(int, platform::IoMode) override {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    woken_ = false;
    return 0;
  }
  void Close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    changed_.notify_all();
  }
  bool IsOpen() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }
  bool Setup(uint32_t, uint32_t) override { return true; }
  bool GetProperties(platform::CommProperties*) override { return true; }
  bool GetTimeouts(platform::CommTimeouts*) override { return true; }
  bool SetTimeouts(const platform::CommTimeouts&) override { return true; }
  bool GetState(platform::LineSettings*) override { return true; }
  bool SetState(const platform::LineSettings&) override { return true; }
  bool Escape(platform::CommFunction) override { return true; }
  bool Purge(uint32_t) override { return true; }
  bool Read(uint8_t*, uint32_t, uint32_t* got) override {
    *got = 0;
    return line_ != Line::kPulled;
  }
  bool Write(const uint8_t*, uint32_t count, uint32_t* written) override {
    return *written = count, true;
  }
  bool QueueStatus(uint32_t* in, uint32_t* out) override { return *in = *out = 0, true; }
  bool WaitReadable(uint32_t) override { return false; }
  bool WaitReadableOrWoken() override {
    ++*waits_;
    if (line_ != Line::kQuiet) {
      error_ = 31;  // the device does not work
      return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return woken_ || !open_; });
    woken_ = false;
    error_ = open_ ? 0 : 995;
    return false;
  }
  void Wake() override {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    changed_.notify_all();
  }
  uint32_t LastError() const override { return error_.load(); }

 private:
  const Line line_;
  std::atomic<int>* waits_;
  std::atomic<uint32_t> error_{0};
  mutable std::mutex mutex_;  // guards open_ and woken_
  std::condition_variable changed_;
  bool open_ = false;
  bool woken_ = false;
};

TEST(ReaderPassTest, WaitsWithoutCauseNeverAndSpinsNever) {
  struct Case {
    Line line;
    bool about_one_a_millisecond;  // otherwise a pass or two in all
  };
  const Case cases[] = {{Line::kQuiet, false}, {Line::kPulled, false}, {Line::kNoWait, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.line));
    std::atomic<int> waits{0};
    // A cap as long as the acknowledgement bound: a pause is acknowledged for real.
    testsupport::TestClock clock(CVodeThreadInterface::kAckWaitMs);
    CVodeThreadInterface link(clock, std::make_unique<ScriptedWaitPort>(c.line, &waits));
    link.StartThread(3);
    ASSERT_TRUE(link.IsConnected());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int passes = waits.load();
    const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    if (c.about_one_a_millisecond) {
      EXPECT_GT(passes, 0);
      EXPECT_LE(passes, 2 * real_ms + 20) << passes << " passes in " << real_ms << " ms";
    } else {
      EXPECT_GE(passes, 1);
      EXPECT_LE(passes, 2) << passes << " passes in " << real_ms << " ms";
    }
    // However the reader waits, a pause and a stop reach it.
    EXPECT_TRUE(link.PauseThread());
    link.ResumeThread();
    EXPECT_TRUE(link.StopThread());
  }
}

}  // namespace
