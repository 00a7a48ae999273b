// The tool's run sequence with the real library against the virtual device, on a test clock:
// what lands on the device for each mode, and how the tool copes with a device that refuses.
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

  std::map<std::string, std::string> DeviceTree() {
    const std::string dump = base_ + "/dump";
    fs::remove_all(dump);
    EXPECT_TRUE(device_->DumpEfs(dump));
    return ReadTree(dump);
  }

  testsupport::TestClock clock_{500};
  QuietConsole console_;
  std::string base_, root_, work_;
  fs::path previous_dir_;
  std::unique_ptr<devicesim::VirtualDevice> device_;
};

TEST_F(TreesmithDeviceTest, EachModeLeavesTheExpectedTree) {
  struct Case {
    std::vector<std::wstring> args;
    const char* upload;
    const char* expected;
    const char* result;
  };
  const Case cases[] = {
      {{}, "kvx", "expected/kvx", "Kvx_treesmith_Result.txt"},
      {{L"--VEXA"}, "vexa", "expected/vexa", "Kvx_treesmith_Result.txt"},
      {{L"--deletedlfile"}, "kvx", "expected/deletedlfile", "Kvx_treesmith_Delete_DL_Result.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    VODE_CloseAllContexts();
    for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
    CopyExample(c.upload, work_);
    StartDevice();
    EXPECT_EQ(Run(c.args), 0);
    EXPECT_EQ(ReadWork(c.result), "PASS");
    EXPECT_EQ(DeviceTree(), ReadTree(ExamplePath(c.expected)));
    // The offline switch took effect, and no write left a file open.
    EXPECT_GE(device_->OperatingMode(), 2);
    EXPECT_LE(device_->OperatingMode(), 4);
    EXPECT_EQ(device_->EfsOpenFiles(), 0);
    EXPECT_EQ(device_->EfsOpenDirs(), 0);
  }
}

TEST_F(TreesmithDeviceTest, VersionReportAndPortInTheLog) {
  CopyExample("kvx", work_);
  StartDevice();
  Run({L"--DeleteDLFile"});
  const std::string log = ReadWork("Kvx_treesmith_Delete_DL.log");
  EXPECT_NE(log.find("Context creation: PASS\nCOM Port: 9\nExt Mobile Mobile SW Rev: KVX-SW-1.2.3\n"),
            std::string::npos);
  EXPECT_NE(console_.printed.find("\nVODE DLL Version: VODE V5.3.32,DIRECTMS"), std::string::npos);
  EXPECT_NE(console_.printed.find("Compile Date: Dec 07 2026\n"), std::string::npos);
  EXPECT_NE(console_.printed.find(" Version Dir: KVX1000 \n"), std::string::npos);
  EXPECT_NE(console_.printed.find("            Ext Model ID: KVX1000\n"), std::string::npos);
  EXPECT_NE(console_.printed.find("\n     Phone Operating Mode: ONLINE"), std::string::npos);
  EXPECT_FALSE(device_->EfsExists("/DL_Processing"));
}

TEST_F(TreesmithDeviceTest, KvxWithoutSmsFolderFails) {
  CopyExample("kvx", work_);
  fs::remove_all(work_ + "/SMS");
  StartDevice();
  Run({});
  EXPECT_EQ(ReadWork("Kvx_treesmith_Result.txt"), "FAIL");
  // Everything else still went to the device.
  EXPECT_TRUE(device_->EfsExists("/nv/item_files/modem/lte/rrc/cap/fgi_r9"));
  EXPECT_TRUE(device_->EfsExists("/nv/item_files/modem/mmode/ue_usage_setting"));
  EXPECT_FALSE(device_->EfsExists("/nv/item_files/modem/mmode/sms_config"));
}

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

TEST_F(TreesmithDeviceTest, RefusedWritesAreRetriedByTheLibrary) {
  CopyExample("kvx", work_);
  StartDevice().RefuseEfsWrites(2, 28);
  Run({});
  EXPECT_EQ(ReadWork("Kvx_treesmith_Result.txt"), "PASS");
  EXPECT_EQ(DeviceTree(), ReadTree(ExamplePath("expected/kvx")));
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
