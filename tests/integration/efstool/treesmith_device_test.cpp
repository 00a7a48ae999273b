// The tool's run sequence with the real library against the virtual device, on a test clock:
// how the tool copes with a device that refuses or is missing. (What lands on the device in each
// mode is checked end to end against diagsim.)
#include <gtest/gtest.h>

#include "treesmith_fixture.hpp"

namespace efstool_test {
namespace {

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
