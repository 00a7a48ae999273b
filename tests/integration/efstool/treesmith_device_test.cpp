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
  // A folder the device keeps: "apps" is emptied, but cannot be removed nor created again.
  ASSERT_TRUE(device_->EfsWriteFile("/apps/cache/page.bin", {1, 2, 3}));
  ASSERT_TRUE(device_->RefuseRmdirOf("apps"));
  Run({});
  EXPECT_EQ(ReadWork("Kvx_treesmith_Result.txt"), "FAIL");
  const std::string log = ReadWork("Kvx_treesmith.log");
  EXPECT_NE(log.find("VODE_EfsRmDir: PASS, apps/cache\n\n"), std::string::npos);
  EXPECT_NE(log.find("VODE_EfsRmDir: FAIL, apps\n\n"
                     "EFS Clear Folder: FAIL, apps, the folder itself stayed\n"),
            std::string::npos);
  EXPECT_NE(log.find("\nEFS Create Folder: FAIL, apps\n"), std::string::npos);
  // Its files are written all the same.
  EXPECT_NE(log.find("VODE_EfsWrite: PASS, apps/webserver.cfg\n"), std::string::npos);
}

TEST_F(TreesmithDeviceTest, FilesTheDeviceMustNotHoldAsTheyAreFailTheRun) {
  struct Case {
    const char* name;
    std::string local;  // below the working folder
    std::string device;
    std::string log_line;
  };
  const std::string long_name(127, 'n');  // "apps/" and 127 more: one past what a listing returns
  const Case cases[] = {
      {"grows while it is sent", "FGI/grows.bin", "nv/item_files/modem/lte/rrc/cap/grows.bin",
       "Local file changed while it was sent: FGI\\grows.bin\n"},
      {"no listing could return it", "apps/" + long_name, "apps/" + long_name,
       "EFS path longer than 131 characters, no listing could return it: apps/" + long_name + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
    CopyExample("kvx", work_);
    std::ofstream(work_ + "/" + c.local, std::ios::binary) << std::string(1024, 'a');
    StartDevice();
    // The first chunk of 512 bytes has gone when the progress is printed.
    console_.on_write = [&](const std::string& text) {
      if (text.find("SRC Name: FGI\\grows.bin") != std::string::npos) {
        std::ofstream(work_ + "/FGI/grows.bin", std::ios::app) << "grown";
      }
    };
    Run({});
    EXPECT_EQ(ReadWork("Kvx_treesmith_Result.txt"), "FAIL");
    const std::string log = ReadWork("Kvx_treesmith.log");
    EXPECT_NE(log.find(c.log_line + "VODE_EfsWrite: FAIL, " + c.device + "\n"), std::string::npos)
        << log;
    if (c.log_line.find("listing") != std::string::npos) {
      EXPECT_FALSE(device_->EfsExists("/" + c.device)) << "nothing of it is written";
    }
  }
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
