// The library against virtual devices: a device root and a working folder of the test's own,
// contexts on a test clock, and everything released again afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "devicesim/virtual_device.hpp"
#include "diaglib/api/resource_manager.hpp"
#include "diaglib/api/vode.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "platform/clock.hpp"
#include "test_clock.hpp"

using namespace diaglib;  // the library's own classes under test

namespace diaglib_test {

// The library's text-log lines, which it also writes from its reader and dispatcher threads.
class LogCapture {
 public:
  static void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  static std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  static bool Has(const std::string& text) {
    const auto lines = Lines();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  static void OnLine(int, const void* record, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(static_cast<const char*>(record) + kTextLogRecordTextOffset);
  }

 private:
  static inline std::mutex mutex_;  // owned by LogCapture: guards lines_
  static inline std::vector<std::string> lines_;
};

class DeviceTest : public ::testing::Test {
 protected:
  explicit DeviceTest(uint32_t real_wait_cap_ms = 500) : clock_(real_wait_cap_ms) {}
  void SetUp() override {
    char pattern[] = "/tmp/diaglib_api_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    std::filesystem::create_directories(base_ + "/root");
    std::filesystem::create_directories(base_ + "/work");
    setenv("DIAG_DEVICE_ROOT", (base_ + "/root").c_str(), 1);
    previous_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(base_ + "/work");
    VODE_SelectLibraryMode(0);
    VODE_UseClock(clock_);
  }
  void TearDown() override {
    VODE_CloseAllContexts();
    VODE_UseClock(platform::RealClock());
    devices_.clear();
    std::filesystem::current_path(previous_dir_);
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  devicesim::VirtualDevice& AddDevice(int com_number, devicesim::Options options = {}) {
    options.root = base_ + "/root";
    options.com_number = com_number;
    devices_.push_back(std::make_unique<devicesim::VirtualDevice>(options));
    EXPECT_TRUE(devices_.back()->Start()) << devices_.back()->Error();
    return *devices_.back();
  }
  // Contexts built from now on write VODE_Log.txt and feed the text-log callback.
  void EnableLibraryLog() { WriteFile("VODE_auto_start_log.txt", ""); }
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
  }
  std::string ReadFile(const std::string& name) const {
    std::stringstream text;
    text << std::ifstream(name, std::ios::binary).rdbuf();
    return text.str();
  }
  Diag_Phone* Phone(VODE_HANDLE handle) { return Vode_ResourceManager::Instance().Phone(handle); }
  std::string ContextName(VODE_HANDLE handle) {
    return Vode_ResourceManager::Instance().ContextName(handle);
  }

  testsupport::TestClock clock_;
  std::string base_;
  std::filesystem::path previous_dir_;
  std::vector<std::unique_ptr<devicesim::VirtualDevice>> devices_;
};

}  // namespace diaglib_test
