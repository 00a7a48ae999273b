// Connecting, the version report, the offline switch and the directory handler's table.
#include "tool_fixture.hpp"

namespace efstool_test {
namespace {

using ConnectionTest = ToolTest;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Each part appears after the one before it.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    const size_t found = text.find(part, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part;
    at = found + part.size();
  }
}

TEST_F(ConnectionTest, NoDeviceRetriesTenTimesFiveSecondsApart) {
  Fake().connect_failures = -1;
  EXPECT_FALSE(efstool::ConnectDevice(Context()));
  std::string expected = "===== ConnectDevice + ===== \n";
  for (int i = 0; i < 10; ++i) expected += "VODE_ConnectServer Retry \n";
  expected += "Server connection: FAIL\n===== ConnectDevice - ===== \n";
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(10, 5000));
  EXPECT_EQ(console_.printed, "\nServer connection: FAIL\n");
  EXPECT_EQ(Context().handle, nullptr);
}

TEST_F(ConnectionTest, ContextFoundAfterRetries) {
  Fake().connect_failures = 3;
  EXPECT_TRUE(efstool::ConnectDevice(Context()));
  EXPECT_EQ(Count(Log(), "VODE_ConnectServer Retry \n"), 3u);
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(3, 5000));
  EXPECT_NE(Context().handle, nullptr);
  // The handlers reach the library even for a context found late.
  EXPECT_EQ(Fake().directory_callback, &efstool::OnEfs2DirEntry);
  EXPECT_EQ(Fake().progress_callback, &efstool::OnEfs2Progress);
}

TEST_F(ConnectionTest, PhoneThatNeverAnswersFailsQuietly) {
  Fake().phone_misses = 1000;
  EXPECT_FALSE(efstool::ConnectDevice(Context()));
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(10, 1000));
  EXPECT_EQ(Count(console_.printed, "\nVODE_IsPhoneConnected Retry\n"), 10u);
  EXPECT_EQ(console_.printed.find("Version Report"), std::string::npos);
  EXPECT_EQ(Log(),
            "===== ConnectDevice + ===== \nContext creation: PASS\n"
            "===== ConnectDevice - ===== \n");
  EXPECT_NE(Context().handle, nullptr);
}

TEST_F(ConnectionTest, VersionReportOnConsoleAndPortInLog) {
  Fake().port = 12;
  Fake().operating_mode = 2;
  Fake().ftm_mode_byte = 1;
  EXPECT_TRUE(efstool::ConnectDevice(Context()));
  ExpectInOrder(console_.printed, {"\nContext creation: PASS\n",
                                   "\n----------------\nVersion Report\n----------------\n",
                                   "\nVODE DLL Version: VODE V5.3.32,DIRECTMS",
                                   "\nCOM Port: 12\n",
                                   "Mobile Version report: PASS\n",
                                   "Compile Date: Dec 07 2026\n",
                                   "Compile Time: 12:00:00\n",
                                   "Release Date: Nov 30 2026\n",
                                   "Release Time: 09:30:00\n",
                                   " Version Dir: KVX1000 \n",
                                   "\n\n",
                                   "   Station Class Mark: 10\n",
                                   "              CAI Rev: 6\n",
                                   "         Mobile Model: 156\n",
                                   "         Firmware Rev: 1234\n",
                                   "     Slot Cycle Index: 2\n",
                                   "Vocoder major version: 1\n",
                                   "Vocoder minor version: 0\n",
                                   "\n     Ext Chip HW Version: 0xC1E0E1\n",
                                   "       Ext Mobile Model#: 0x9C\n",
                                   "Ext Mobile Mobile SW Rev: KVX-SW-1.2.3\n",
                                   "            Ext Model ID: KVX1000\n",
                                   "\n     Phone Operating Mode: OFFLINE",
                                   "\n           Phone Call State: CM_CALL_STATE_IDLE",
                                   "\n    Phone System Mode State: SYS_SYS_MODE_WCDMA",
                                   "\n                FTM Mode: ON",
                                   "\n"});
  EXPECT_EQ(Log(),
            "===== ConnectDevice + ===== \nContext creation: PASS\nCOM Port: 12\n"
            "Ext Mobile Mobile SW Rev: KVX-SW-1.2.3\n===== ConnectDevice - ===== \n");
  EXPECT_STREQ(Context().software_revision.data(), "KVX-SW-1.2.3");
}

TEST_F(ConnectionTest, QueriesThatFailOnlyPrintTheirLines) {
  Fake().verno_ok = false;
  EXPECT_TRUE(efstool::ConnectDevice(Context()));
  EXPECT_NE(console_.printed.find("Version Number: FAIL\n"), std::string::npos);
  EXPECT_EQ(console_.printed.find("Ext Chip"), std::string::npos);

  console_.printed.clear();
  Fake().verno_ok = true;
  Fake().ext_build_ok = false;
  efstool::PrintVersionReport(Context());
  EXPECT_NE(console_.printed.find("\nVODE_DIAG_EXT_BUILD_ID_F = FAIL\n"), std::string::npos);
  EXPECT_EQ(console_.printed.find("FTM Mode"), std::string::npos);

  console_.printed.clear();
  Fake().ext_build_ok = true;
  Fake().nv_read_ok = false;
  Fake().get_mode_ok = false;
  EXPECT_FALSE(efstool::PrintPhoneStatus(Context()));
  EXPECT_EQ(console_.printed,
            "\n           Phone Call State: CM_CALL_STATE_IDLE"
            "\n    Phone System Mode State: SYS_SYS_MODE_WCDMA"
            "\nVODE_DIAG_NV_READ_F(NV_FTM_MODE_I): FAIL");
}

TEST_F(ConnectionTest, StatusNamesAndValuesPastTheLists) {
  efstool::ConnectDevice(Context());
  struct Case {
    uint32_t mode, call, system;
    const char *mode_name, *call_name, *system_name;
  };
  const Case cases[] = {
      {0, 5, 7, "Not in list", "Invalid", "SYS_SYS_MODE_GW"},
      {7, 6, 8, "Not in list", "Invalid", "Invalid"},
      {1, 4, 6, "FTM", "CM_CALL_STATE_CC_IN_PROGRESS", "SYS_SYS_MODE_GPS"},
      {6, 0xFFFFFFFF, 0, "LOW POWER MODE", "Invalid", "SYS_SYS_MODE_NO_SRV"},
  };
  for (const Case& c : cases) {
    console_.printed.clear();
    Fake().operating_mode = c.mode;
    Fake().call_state = c.call;
    Fake().system_mode = c.system;
    efstool::PrintPhoneStatus(Context());
    EXPECT_EQ(console_.printed, std::string("\n     Phone Operating Mode: ") + c.mode_name +
                                    "\n           Phone Call State: " + c.call_name +
                                    "\n    Phone System Mode State: " + c.system_name +
                                    "\n                FTM Mode: OFF");
  }
}

TEST_F(ConnectionTest, KeyPressEndsTheWaitForPhone) {
  efstool::ConnectDevice(Context());
  console_.printed.clear();
  clock_.ClearPauses();
  Fake().phone_misses = 1000;
  console_.key_after_polls = 3;
  efstool::PrintVersionReport(Context());
  EXPECT_NE(console_.printed.find("<<Waiting for phone, press any key to exit>>\n"),
            std::string::npos);
  EXPECT_EQ(console_.keys_read, 1);
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(3, 10));
  EXPECT_EQ(console_.printed.find("Mobile Version report"), std::string::npos);
}

TEST_F(ConnectionTest, WaitForPhoneEndsAfterAMinuteWithoutAKey) {
  efstool::ConnectDevice(Context());
  console_.printed.clear();
  clock_.ClearPauses();
  Fake().phone_misses = 10001;  // the phone would answer only after 100 s of polls
  const uint64_t start = clock_.NowMs();
  efstool::PrintVersionReport(Context());
  EXPECT_GE(clock_.NowMs() - start, 60000u);
  EXPECT_LT(clock_.NowMs() - start, 60000u + 10u) << "no poll past the bound";
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(6000, 10));
  EXPECT_EQ(console_.keys_read, 0);
  EXPECT_NE(console_.printed.find("<<Waiting for phone, press any key to exit>>\n"),
            std::string::npos);
  EXPECT_EQ(console_.printed.find("Mobile Version report"), std::string::npos) << "as after a key";
}

TEST_F(ConnectionTest, PhoneAnsweringDuringTheWaitGetsItsReport) {
  efstool::ConnectDevice(Context());
  console_.printed.clear();
  Fake().phone_misses = 3;  // the first check and two polls
  efstool::PrintVersionReport(Context());
  EXPECT_EQ(console_.keys_read, 0);
  EXPECT_NE(console_.printed.find("Mobile Version report: PASS\n"), std::string::npos);
}

TEST_F(ConnectionTest, OfflineLineEndsWithNewlineOnlyOnFailure) {
  efstool::ConnectDevice(Context());
  console_.printed.clear();
  efstool::EnterOfflineMode(Context());
  EXPECT_EQ(console_.printed, "\nVODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): PASS");
  Fake().offline_ok = false;
  console_.printed.clear();
  efstool::EnterOfflineMode(Context());
  EXPECT_EQ(console_.printed, "\nVODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): FAIL\n");
  EXPECT_NE(Log().find("===== EnterOfflineMode + ===== \n"
                       "VODE_DIAG_CONTROL_F(  MODE_OFFLINE_D_F ): FAIL\n"
                       "===== EnterOfflineMode - ===== \n"),
            std::string::npos);
}

TEST_F(ConnectionTest, DirectoryHandlerKeepsFilesUpToTheTableLimits) {
  Context();
  const auto entry = &efstool::OnEfs2DirEntry;
  EXPECT_TRUE(entry("d/folder", 0, 0, 0, 0, 0, 0, 1));
  EXPECT_TRUE(entry("d/.", 0, 0, 0, 0, 0, 0, 1));
  EXPECT_TRUE(entry("d/..", 0, 0, 0, 0, 0, 0, 1));
  EXPECT_TRUE(entry("d/link", 2, 0, 0, 0, 0, 0, 1));
  EXPECT_TRUE(entry(("d/" + std::string(198, 'a')).c_str(), 1, 0, 0, 0, 0, 0, 1));  // 200
  EXPECT_TRUE(entry(("d/" + std::string(197, 'b')).c_str(), 1, 0, 0, 0, 0, 0, 1));  // 199
  for (int i = 0; i < 600; ++i) {
    entry(("d/f" + std::to_string(i)).c_str(), 1, 0, 0, 0, 0, 0, 1);
  }
  const efstool::FoundFiles& found = Context().found;
  ASSERT_EQ(found.count, 500);
  EXPECT_STREQ(found.paths[0].data(), "d/link");
  EXPECT_EQ(std::string(found.paths[1].data()), "d/" + std::string(197, 'b'));
  EXPECT_STREQ(found.paths[2].data(), "d/f0");
  EXPECT_STREQ(found.paths[499].data(), "d/f497");
  ASSERT_EQ(found.folder_count, 1) << "the folder's own entries are no folders below it";
  EXPECT_STREQ(found.folders[0].data(), "d/folder");
  EXPECT_NE(console_.printed.find("          Name: d/folder\n          Type: Folder\n"),
            std::string::npos);
  EXPECT_NE(console_.printed.find("          Name: d/f599\n          Type: File\n"),
            std::string::npos);
}

}  // namespace
}  // namespace efstool_test
