// The library against virtual devices: a device root and a working folder of the test's own,
// the library's contexts on a test clock, and everything released again afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "devicesim/virtual_device.hpp"
#include "diaglib/api/resource_manager.hpp"
#include "diaglib/api/vode.hpp"
#include "platform/clock.hpp"
#include "test_clock.hpp"

namespace diaglib_test {

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/diaglib_api_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/root";
    work_ = base_ + "/work";
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(work_);
    setenv("DIAG_DEVICE_ROOT", root_.c_str(), 1);
    previous_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(work_);
    VODE_CloseAllContexts();
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
    options.root = root_;
    options.com_number = com_number;
    devices_.push_back(std::make_unique<devicesim::VirtualDevice>(options));
    devicesim::VirtualDevice& device = *devices_.back();
    EXPECT_TRUE(device.Start()) << device.Error();
    return device;
  }

  // Lets the contexts built from now on write VODE_Log.txt and feed the text-log callback.
  void EnableLibraryLog() { WriteWorkFile("VODE_auto_start_log.txt", ""); }

  void WriteWorkFile(const std::string& name, const std::string& text) {
    std::ofstream(work_ + "/" + name, std::ios::binary) << text;
  }
  void WriteLocalFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream out(work_ + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::string ReadWorkFile(const std::string& name) const {
    std::ifstream in(work_ + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The texts of the library log file's lines (time stamp and category stripped).
  std::vector<std::string> LibraryLogTexts() const {
    std::vector<std::string> texts;
    std::istringstream in(ReadWorkFile("VODE_Log.txt"));
    std::string line;
    while (std::getline(in, line)) {
      const size_t first = line.find(',');
      const size_t second = first == std::string::npos ? first : line.find(',', first + 1);
      if (second != std::string::npos) texts.push_back(line.substr(second + 1));
    }
    return texts;
  }

  Diag_Phone* Phone(VODE_HANDLE handle) { return Vode_ResourceManager::Instance().Phone(handle); }
  std::string ContextName(VODE_HANDLE handle) {
    return Vode_ResourceManager::Instance().ContextName(handle);
  }

  testsupport::TestClock clock_{500};
  std::string base_, root_, work_;
  std::filesystem::path previous_dir_;
  std::vector<std::unique_ptr<devicesim::VirtualDevice>> devices_;
};

// Collects the library's text-log lines of every context; the library calls it from its
// reader and dispatcher threads too.
struct LogCapture {
  static void Clear();
  static std::vector<std::string> Lines();
  static void OnLine(int record_size, const void* record, int context);
  static bool Has(const std::string& text);
};

}  // namespace diaglib_test
