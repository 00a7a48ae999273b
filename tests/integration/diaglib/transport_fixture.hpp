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
#include "diaglib/transport/context_transport.hpp"
#include "eventually.hpp"
#include "test_clock.hpp"
#include "tests/unit/diaglib/log_capture.hpp"

using namespace diaglib;  // the library's own classes under test

namespace transport_test {

using testsupport::Eventually;

using Bytes = std::vector<uint8_t>;

inline constexpr int kComNumber = 7;

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
    Seen().clear();
  }

  void TearDown() override {
    link_.reset();
    capture_.reset();
    log_.reset();
    device_.reset();
    std::filesystem::remove_all(root_);
  }

  // The link, opened, with the async-message callback recording into Seen().
  ContextTransport& OpenLink(uint16_t port = kComNumber) {
    link_ = std::make_unique<ContextTransport>(clock_, *log_, port);
    link_->SetAsyncMessageCallBack(&TransportTest::OnMessage, 5);
    EXPECT_TRUE(link_->OpenPort());
    return *link_;
  }

  bool Exchange(const Bytes& request, uint16_t capacity = 4096) {
    response_.assign(4096 + 16, 0xCC);
    DiagRequest exchange;
    exchange.bytes = request.data();
    exchange.length = static_cast<uint16_t>(request.size());
    exchange.expected_code = request[0];
    exchange.timeout_ms = 4000;
    DiagReply reply(response_.data(), capacity);
    const bool answered = link_->SendSync(exchange, reply);
    response_length_ = reply.length;
    return answered;
  }

  static std::vector<Bytes> SeenPackets() {
    std::lock_guard<std::mutex> lock(SeenMutex());
    return Seen();
  }

  // Real time a wait may take before the test clock calls it a time-out: generous for sanitizers.
  testsupport::TestClock clock_{1000};
  std::string root_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  std::unique_ptr<LibraryLog> log_;
  std::unique_ptr<LogCapture> capture_;
  std::unique_ptr<ContextTransport> link_;
  Bytes response_;
  uint16_t response_length_ = 0;

 private:
  static void OnMessage(uint16_t size, const uint8_t* bytes, int) {
    std::lock_guard<std::mutex> lock(SeenMutex());
    Seen().emplace_back(bytes, bytes + size);
  }
  static std::mutex& SeenMutex() {  // owned by the fixture; guards Seen()
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<Bytes>& Seen() {
    static std::vector<Bytes> seen;
    return seen;
  }
};

}  // namespace transport_test
