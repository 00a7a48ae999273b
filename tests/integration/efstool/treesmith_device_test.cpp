// The tool's run sequence with the real library against the virtual device, on a test clock:
// how the tool copes with a device that refuses or is missing. (What lands on the device in each
// mode is checked end to end against diagsim.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "devicesim/virtual_device.hpp"
#include "efs_tree.hpp"
#include "efstool/treesmith.hpp"
#include "test_clock.hpp"

namespace efstool_test {
namespace {

namespace fs = std::filesystem;

class QuietConsole final : public efstool::Console {
 public:
  void Write(const std::string& text) override { printed += text; }
  bool KeyWaiting() override { return false; }
  void ReadKey() override {}
  std::string printed;
};

class TreesmithDeviceTest : public ::testing::Test {
 protected:
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

  testsupport::TestClock clock_{500};
  QuietConsole console_;
  std::string base_, root_, work_;
  fs::path previous_dir_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
};

TEST_F(TreesmithDeviceTest, FolderThatSurvivesTheDeletesFailsItsUpload) {
  CopyExample("kvx", work_);
  StartDevice();
  // Not named by any delete list, so "apps" cannot be removed and cannot be created again.
  ASSERT_TRUE(device_->EfsWriteFile("/apps/cache/page.bin", {1, 2, 3}));
  Run({});
  EXPECT_EQ(ReadWork("Kvx_treesmith_Result.txt"), "FAIL");
  const std::string log = ReadWork("Kvx_treesmith.log");
  EXPECT_NE(log.find("VODE_EfsRmDir: FAIL, apps\n\n"), std::string::npos);
  EXPECT_NE(log.find("\nEFS Create Folder: FAIL, apps\n"), std::string::npos);
  // Its files are written all the same.
  EXPECT_NE(log.find("VODE_EfsWrite: PASS, apps/webserver.cfg\n"), std::string::npos);
}

TEST_F(TreesmithDeviceTest, DeviceThatStaysOnlineOnlyCostsTheOfflineLine) {
  CopyExample("vexa", work_);
  StartDevice().NeverReachMode(true);
  Run({L"--vexa"});
  EXPECT_NE(ReadWork("Kvx_treesmith.log").find("VODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): FAIL\n"),
            std::string::npos);
  EXPECT_EQ(ReadWork("Kvx_treesmith_Result.txt"), "PASS");
}

TEST_F(TreesmithDeviceTest, WithoutDeviceTheRunFailsAfterItsRetries) {
  CopyExample("kvx", work_);
  Run({});
  EXPECT_EQ(ReadWork("Kvx_treesmith_Result.txt"), "FAIL");
  std::vector<uint32_t> retries;
  for (uint32_t pause : clock_.Pauses()) {
    if (pause == 5000) retries.push_back(pause);
  }
  EXPECT_EQ(retries.size(), 20u);
  const std::string log = ReadWork("Kvx_treesmith.log");
  EXPECT_NE(log.find("VODE_ConnectServer Retry \nServer connection: FAIL\n"), std::string::npos);
  EXPECT_NE(log.find("VODE_EfsWrite: FAIL, sd/rat_acq_order\n"), std::string::npos);
}

}  // namespace
}  // namespace efstool_test
