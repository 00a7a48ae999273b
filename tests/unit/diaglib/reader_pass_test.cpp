// The reader thread against a port whose wait for input fails at once, as a pulled device's
// does: every pass must still idle its millisecond instead of spinning on the port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "diaglib/transport/thread_interface.hpp"
#include "platform/com_port.hpp"
#include "test_clock.hpp"

using namespace diaglib;  // the library's own classes under test

namespace {

class PulledDevicePort final : public platform::ComPort {
 public:
  explicit PulledDevicePort(std::atomic<int>* waits) : waits_(waits) {}
  uint32_t Open(int, platform::IoMode) override { return open_ = true, 0; }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  bool Setup(uint32_t, uint32_t) override { return true; }
  bool GetProperties(platform::CommProperties*) override { return true; }
  bool GetTimeouts(platform::CommTimeouts*) override { return true; }
  bool SetTimeouts(const platform::CommTimeouts&) override { return true; }
  bool GetState(platform::LineSettings*) override { return true; }
  bool SetState(const platform::LineSettings&) override { return true; }
  bool Escape(platform::CommFunction) override { return true; }
  bool Purge(uint32_t) override { return true; }
  bool Read(uint8_t*, uint32_t, uint32_t* got) override { return *got = 0, false; }
  bool Write(const uint8_t*, uint32_t count, uint32_t* written) override {
    return *written = count, true;
  }
  bool QueueStatus(uint32_t* in, uint32_t* out) override { return *in = *out = 0, true; }
  bool WaitReadable(uint32_t) override { return ++*waits_, false; }
  uint32_t LastError() const override { return 31; }  // the device does not work

 private:
  std::atomic<int>* waits_;
  std::atomic<bool> open_{false};
};

TEST(ReaderPassTest, AWaitThatFailsAtOnceStillIdlesItsMillisecond) {
  std::atomic<int> waits{0};
  testsupport::TestClock clock(5);
  CVodeThreadInterface link(clock, std::make_unique<PulledDevicePort>(&waits));
  link.StartThread(3);
  ASSERT_TRUE(link.IsConnected());
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int passes = waits.load();
  const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  link.StopThread();
  // About one pass a millisecond; a spinning reader makes hundreds of thousands a second.
  EXPECT_GT(passes, 0);
  EXPECT_LE(passes, 2 * real_ms + 20) << passes << " passes in " << real_ms << " ms";
}

}  // namespace
