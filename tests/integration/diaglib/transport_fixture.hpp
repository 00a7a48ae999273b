// The transport against a virtual device over a pseudo-terminal: a device root of the test's
// own, a test clock, a context log whose lines are captured, and the link of COM7.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devicesim/virtual_device.hpp"
#include "diaglib/log/library_log.hpp"
#include "diaglib/transport/diag_link.hpp"
#include "test_clock.hpp"
#include "tests/unit/diaglib/log_capture.hpp"

namespace transport_test {

using Bytes = std::vector<uint8_t>;

inline constexpr int kComNumber = 7;
// Real time a wait may take before the test clock calls it a time-out: generous for sanitizers.
inline constexpr uint32_t kRealWaitCapMs = 1000;

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/diaglib_transport_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    setenv("DIAG_DEVICE_ROOT", root_.c_str(), 1);
    devicesim::Options options;
    options.root = root_;
    options.com_number = kComNumber;
    device_ = std::make_unique<devicesim::VirtualDevice>(options);
    ASSERT_TRUE(device_->Start()) << device_->Error();
    log_ = std::make_unique<LibraryLog>(clock_);
    log_->SetLogFlags(0xFFFFFFFFu);
    capture_ = std::make_unique<LogCapture>(log_->Handler());
  }

  void TearDown() override {
    link_.reset();
    capture_.reset();
    log_.reset();
    device_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  DiagLink& MakeLink(uint16_t port = kComNumber) {
    link_ = std::make_unique<DiagLink>(clock_, *log_, port);
    return *link_;
  }

  // Polls `done` in real time, for at most a few seconds.
  template <typename Done>
  static bool Eventually(Done done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      usleep(10000);
    }
    return done();
  }

  bool Exchange(const Bytes& request, Bytes* response, uint16_t capacity = 4096,
                int timeout_ms = 4000) {
    response->assign(capacity, 0xCC);
    uint16_t length = capacity;
    const bool ok = link_->SendSync(static_cast<uint16_t>(request.size()), request.data(), &length,
                                    response->data(), request[0], timeout_ms, 0);
    response_length_ = length;
    return ok;
  }

  testsupport::TestClock clock_{kRealWaitCapMs};
  std::string root_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  std::unique_ptr<LibraryLog> log_;
  std::unique_ptr<LogCapture> capture_;
  std::unique_ptr<DiagLink> link_;
  uint16_t response_length_ = 0;
};

// Every packet the async-message callback saw, from the dispatcher thread.
class AsyncSeen {
 public:
  static void OnMessage(uint16_t size, const uint8_t* bytes, int) {
    std::lock_guard<std::mutex> lock(Mutex());
    Packets().emplace_back(bytes, bytes + size);
  }
  static void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Packets().clear();
  }
  static std::vector<Bytes> Snapshot() {
    std::lock_guard<std::mutex> lock(Mutex());
    return Packets();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<Bytes>& Packets() {
    static std::vector<Bytes> packets;
    return packets;
  }
};

}  // namespace transport_test
