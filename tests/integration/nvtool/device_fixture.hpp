// The NV writer's run against the virtual device over a real pseudo-terminal, with the real
// POSIX adapter below the device root and a test clock. Two seams let a test act at the moment
// a step happens: a hook on every pause (the device restarts while the run waits for it) and a
// hook on every frame written (misbehaviour armed for exactly one request).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/diag_frame.hpp"
#include "devicesim/virtual_device.hpp"
#include "nvtool/run_sequence.hpp"
#include "nvtool_harness.hpp"
#include "platform/com_port.hpp"
#include "platform/device_discovery.hpp"
#include "eventually.hpp"
#include "test_clock.hpp"

namespace nvtest {

using Bytes = std::vector<uint8_t>;

class HookClock final : public platform::Clock {
 public:
  explicit HookClock(testsupport::TestClock& inner) : inner_(inner) {}
  uint32_t TickCount() override { return inner_.TickCount(); }
  void Pause(uint32_t ms) override {
    inner_.Pause(ms);
    if (on_pause) on_pause(ms);
  }
  platform::LocalTime Now() override { return inner_.Now(); }
  bool Wait(uint32_t timeout_ms, const std::function<bool(uint32_t)>& wait) override {
    return inner_.Wait(timeout_ms, wait);
  }
  std::function<void(uint32_t)> on_pause;

 private:
  testsupport::TestClock& inner_;
};

// The real port with a look at each request packet before it goes out; the hook may replace
// the packet (the frame is then built anew).
class HookedPort final : public platform::ComPort {
 public:
  HookedPort(std::unique_ptr<platform::ComPort> real, std::function<void(Bytes*)>* hook)
      : real_(std::move(real)), hook_(hook) {}
  uint32_t Open(int n, platform::IoMode m) override { return real_->Open(n, m); }
  void Close() override { real_->Close(); }
  bool IsOpen() const override { return real_->IsOpen(); }
  bool Setup(uint32_t i, uint32_t o) override { return real_->Setup(i, o); }
  bool GetProperties(platform::CommProperties* p) override { return real_->GetProperties(p); }
  bool GetTimeouts(platform::CommTimeouts* t) override { return real_->GetTimeouts(t); }
  bool SetTimeouts(const platform::CommTimeouts& t) override { return real_->SetTimeouts(t); }
  bool GetState(platform::LineSettings* s) override { return real_->GetState(s); }
  bool SetState(const platform::LineSettings& s) override { return real_->SetState(s); }
  bool Escape(platform::CommFunction f) override { return real_->Escape(f); }
  bool Purge(uint32_t f) override { return real_->Purge(f); }
  bool Read(uint8_t* b, uint32_t c, uint32_t* g) override { return real_->Read(b, c, g); }
  bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written) override {
    if (!*hook_) return real_->Write(bytes, count, written);
    Bytes packet(count);
    size_t n = count;
    if (n && bytes[n - 1] == common::kFrameFlag) --n;
    packet.resize(common::UnescapeBytes(bytes, n, packet.data(), packet.size()));
    if (packet.size() >= 2) packet.resize(packet.size() - 2);
    (*hook_)(&packet);
    Bytes frame(packet.size() * 2 + 8);
    frame.resize(common::EncodeFrame(packet.data(), packet.size(), frame.data(), frame.size()));
    uint32_t sent = 0;
    const bool ok = real_->Write(frame.data(), static_cast<uint32_t>(frame.size()), &sent);
    *written = ok ? count : 0;
    return ok;
  }
  bool QueueStatus(uint32_t* i, uint32_t* o) override { return real_->QueueStatus(i, o); }
  bool WaitReadable(uint32_t ms) override { return real_->WaitReadable(ms); }
  bool WaitReadableOrWoken() override { return real_->WaitReadableOrWoken(); }
  void Wake() override { real_->Wake(); }
  uint32_t LastError() const override { return real_->LastError(); }

 private:
  std::unique_ptr<platform::ComPort> real_;
  std::function<void(Bytes*)>* hook_;
};

class DeviceRun : public ::testing::Test {
 protected:
  static constexpr int kCom = 7;

  // A reply in pieces must arrive within one real wait, so the cap is generous; tests that
  // expect silence pass a short one to stay fast.
  explicit DeviceRun(uint32_t real_wait_cap_ms = 500)
      : clock_(real_wait_cap_ms), hook_clock_(clock_) {
    char pattern[] = "/tmp/itemsmith-it-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("DIAG_DEVICE_ROOT", root_.c_str(), 1);
    options_.root = root_;
    options_.com_number = kCom;
    options_.reset_absence_ms = 20;
    discovery_ = platform::MakeDeviceDiscovery();
    env_ = testsupport::MakeNvToolEnvironment(
        rec_, hook_clock_, discovery_.get(), [this](platform::Clock& c) {
          return std::make_unique<HookedPort>(platform::MakeComPort(c), &write_hook_);
        });
  }
  ~DeviceRun() override {
    device_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  devicesim::VirtualDevice& StartDevice() {
    device_ = std::make_unique<devicesim::VirtualDevice>(options_);
    EXPECT_TRUE(device_->Start()) << device_->Error();
    return *device_;
  }
  int Run(int arguments) { return nvtool::RunItemsmith(arguments, env_); }

  std::vector<uint32_t> LongPauses() const {
    std::vector<uint32_t> pauses;
    for (uint32_t p : clock_.Pauses()) {
      if (p > 1) pauses.push_back(p);
    }
    return pauses;
  }
  int RequestsOf(uint8_t code) const {
    int n = 0;
    for (const Bytes& r : device_->GoodRequests()) n += !r.empty() && r[0] == code;
    return n;
  }
  // The log lines given appear in this order.
  ::testing::AssertionResult InOrder(const std::string& text,
                                     const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
      const size_t found = text.find(part, at);
      if (found == std::string::npos)
        return ::testing::AssertionFailure() << "missing after " << at << ": " << part;
      at = found + part.size();
    }
    return ::testing::AssertionSuccess();
  }

  testsupport::NvToolRecorder rec_;
  testsupport::TestClock clock_;
  HookClock hook_clock_;
  std::string root_;
  devicesim::Options options_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
  std::unique_ptr<platform::DeviceDiscovery> discovery_;
  std::function<void(Bytes*)> write_hook_;
  nvtool::Environment env_;
};

class SilentDeviceRun : public DeviceRun {
 protected:
  SilentDeviceRun() : DeviceRun(50) {}
};

}  // namespace nvtest
