// treesmith's run sequence with the real library against a virtual device: a device root and a
// working folder of the test's own, a test clock, and everything released again afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "devicesim/virtual_device.hpp"
#include "efs_tree.hpp"
#include "efstool/treesmith.hpp"
#include "test_clock.hpp"

namespace efstool_test {

namespace fs = std::filesystem;

class QuietConsole final : public efstool::Console {
 public:
  void Write(const std::string& text) override {
    printed += text;
    if (on_write) on_write(text);
  }
  bool KeyWaiting() override { return false; }
  void ReadKey() override {}
  std::string printed;
  std::function<void(const std::string&)> on_write;  // something happening while the run prints
};

class TreesmithDeviceTest : public ::testing::Test {
 protected:
  explicit TreesmithDeviceTest(uint32_t real_wait_cap_ms = 500) : clock_(real_wait_cap_ms) {}

  void SetUp() override {
    char pattern[] = "/tmp/treesmith-int-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/root";
    work_ = base_ + "/work";
    fs::create_directories(root_);
    fs::create_directories(work_);
    setenv("DIAG_DEVICE_ROOT", root_.c_str(), 1);
    previous_dir_ = fs::current_path();
    fs::current_path(work_);
  }

  void TearDown() override {
    VODE_CloseAllContexts();
    VODE_UseClock(platform::RealClock());
    device_.reset();
    fs::current_path(previous_dir_);
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  devicesim::VirtualDevice& StartDevice(const std::string& efs_example = "device-before") {
    devicesim::Options options;
    options.root = root_;
    options.com_number = 9;
    device_.reset();  // two devices must never serve the same link at once
    device_ = std::make_unique<devicesim::VirtualDevice>(options);
    EXPECT_TRUE(device_->Start()) << device_->Error();
    if (!efs_example.empty()) {
      EXPECT_TRUE(device_->LoadEfs(ExamplePath(efs_example)));
    }
    return *device_;
  }

  int Run(const std::vector<std::wstring>& args) {
    return efstool::RunTreesmith(args, clock_, console_);
  }

  std::string ReadWork(const std::string& name) const {
    std::ifstream in(work_ + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  testsupport::TestClock clock_;
  QuietConsole console_;
  std::string base_, root_, work_;
  fs::path previous_dir_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
};

}  // namespace efstool_test
