// The run sequence: mode choice, files, banners in order and which step results count.
#include <filesystem>
#include <fstream>
#include <functional>

#include "tool_fixture.hpp"
#include "treesmith_banners.hpp"

namespace efstool_test {
namespace {

using testsupport::Banners;
using testsupport::ExpectedBanners;

class RunSequenceTest : public ToolTest {
 protected:
  // Every local upload folder of both products, one file each.
  void MakeUploadFolders() {
    for (const char* folder : {"apps",
                               "db",
                               "ui",
                               "ui\\admin",
                               "ui\\app_game",
                               "ui\\css_js",
                               "ui\\diagnostic",
                               "ui\\image",
                               "ui\\lang",
                               "ui\\menu",
                               "ui\\security",
                               "ui\\setup",
                               "ui\\status",
                               "ui\\submenu",
                               "ui\\wan",
                               "ui\\wireless",
                               "SMS",
                               "UE_USAGE",
                               "MTU",
                               "ACQDB",
                               "FGI"}) {
      MakeLocalFile(std::string(folder) + "\\file.bin");
    }
    MakeLocalFile("EFS_SD\\rat_acq_order");
  }
};

TEST_F(RunSequenceTest, FirstWordPicksModeInAnyLetterCase) {
  struct Case {
    std::vector<std::wstring> args;
    const char* log;
    const char* result;
    const char* other_result;
    const char* mode_line;
  };
  const Case cases[] = {
      {{},
       "Kvx_treesmith.log",
       "Kvx_treesmith_Result.txt",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "IMAGE_SKU_KVX \n"},
      {{L"--kvx"},
       "Kvx_treesmith.log",
       "Kvx_treesmith_Result.txt",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "IMAGE_SKU_KVX \n"},
      {{L"--VEXA2"},
       "Kvx_treesmith.log",
       "Kvx_treesmith_Result.txt",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "IMAGE_SKU_KVX \n"},
      {{L"--VEX"},
       "Kvx_treesmith.log",
       "Kvx_treesmith_Result.txt",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "IMAGE_SKU_KVX \n"},
      {{L"--vexa"},
       "Kvx_treesmith.log",
       "Kvx_treesmith_Result.txt",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "IMAGE_SKU_VEXA \n"},
      {{L"--VeXa", L"--DeleteDLFile"},
       "Kvx_treesmith.log",
       "Kvx_treesmith_Result.txt",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "IMAGE_SKU_VEXA \n"},
      {{L"--deletedlfile"},
       "Kvx_treesmith_Delete_DL.log",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "Kvx_treesmith_Result.txt",
       "DeleteDLFile \n"},
      {{L"--DELETEDLFILE"},
       "Kvx_treesmith_Delete_DL.log",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "Kvx_treesmith_Result.txt",
       "DeleteDLFile \n"},
      {{L"--kvx", L"--vexa"},
       "Kvx_treesmith.log",
       "Kvx_treesmith_Result.txt",
       "Kvx_treesmith_Delete_DL_Result.txt",
       "IMAGE_SKU_KVX \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode_line + std::to_string(c.args.size()));
    for (const char* name : {"Kvx_treesmith.log", "Kvx_treesmith_Delete_DL.log",
                             "Kvx_treesmith_Result.txt", "Kvx_treesmith_Delete_DL_Result.txt"}) {
      std::filesystem::remove(name);
    }
    ResetFake();
    EXPECT_EQ(Run(c.args), 0);
    const std::string log = ReadFile(c.log);
    EXPECT_EQ(log.rfind(std::string("treesmith version: 20120903 \n") + c.mode_line, 0), 0u);
    EXPECT_TRUE(FileExists(c.result));
    EXPECT_FALSE(FileExists(c.other_result));
  }
}

TEST_F(RunSequenceTest, KvxRunPassesWithBannersInOrder) {
  MakeUploadFolders();
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "PASS");
  const std::string log = Log();
  EXPECT_EQ(Banners(log),
            ExpectedBanners({"ConnectDevice", "EnterOfflineMode", "DeleteEFS", "DeletePhoneEFS",
                             "DeleteSMS", "DeleteUE_USAGE", "DeleteACQDB", "DeleteFGI",
                             "DisconnectDevice", "ConnectDevice", "WriteAppsEFS",
                             "WriteEFS_generic", "WritePhoneEFS", "WriteSMS", "WriteUE_USAGE",
                             "WriteACQDB", "WriteFGI", "DisconnectDevice"}));
  const std::string last = "===== DisconnectDevice - ===== \n";
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
  EXPECT_EQ(Fake().connects, 2);
  EXPECT_EQ(Fake().clocks_handed, 1);
  EXPECT_EQ(Fake().CallsStartingWith("Control "), std::vector<std::string>{"1"});
}

TEST_F(RunSequenceTest, VexaRunPassesWithBannersInOrder) {
  MakeUploadFolders();
  EXPECT_EQ(Run({L"--VEXA"}), 0);
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "PASS");
  EXPECT_EQ(
      Banners(Log()),
      ExpectedBanners({"ConnectDevice", "EnterOfflineMode", "DeleteEFS", "DeletePhoneEFS",
                       "DeleteACQDB_pre", "DeleteMTU", "DeleteACQDB", "DeleteFGI",
                       "DisconnectDevice", "ConnectDevice", "WriteAppsEFS", "WriteEFS_VEXA",
                       "WritePhoneEFS", "WriteMTU", "WriteACQDB", "WriteFGI", "DisconnectDevice"}));
}

TEST_F(RunSequenceTest, DeleteDlModeRunsOnlyTheMarkerDelete) {
  EXPECT_EQ(Run({L"--DeleteDLFile"}), 0);
  EXPECT_EQ(ReadFile("Kvx_treesmith_Delete_DL_Result.txt"), "PASS");
  EXPECT_EQ(Banners(ReadFile("Kvx_treesmith_Delete_DL.log")),
            ExpectedBanners(
                {"ConnectDevice", "EnterOfflineMode", "DeleteDL_Processing", "DisconnectDevice"}));
  EXPECT_EQ(Fake().CallsStartingWith("Delete "), std::vector<std::string>{"/DL_Processing"});
  EXPECT_TRUE(Fake().CallsStartingWith("Write ").empty());
}

// A pin that cannot name a slot: the run log says why, after the mode line.
TEST_F(RunSequenceTest, RefusedPinIsNamedInTheRunLog) {
  setenv("DIAG_USB_LOCATION", "1-2 ", 1);
  Run({L"--DeleteDLFile"});
  unsetenv("DIAG_USB_LOCATION");
  EXPECT_EQ(ReadFile("Kvx_treesmith_Delete_DL.log")
                .find("DeleteDLFile \n[Error] DIAG_USB_LOCATION \"1-2 \" is not a USB location "
                      "(bus-port.port..., for example 1-2.3); this run sees no device \n"),
            std::string("treesmith version: 20120903 \n").size());
  Run({L"--DeleteDLFile"});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Delete_DL.log").find("[Error]"), std::string::npos);
}

TEST_F(RunSequenceTest, DeleteDlVerdictIsTheDeleteAlone) {
  // The phone never answers, so the connection fails, but the context exists and the delete
  // goes through: the verdict follows the delete.
  Fake().phone_misses = 1000;
  Run({L"--deletedlfile"});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Delete_DL_Result.txt"), "PASS");

  ResetFake();
  Fake().refused_deletes = {"/DL_Processing"};
  Run({L"--deletedlfile"});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Delete_DL_Result.txt"), "FAIL");
}

TEST_F(RunSequenceTest, CountingRulesInTheProductModes) {
  MakeUploadFolders();
  // Failed deletes and removals are only reported, as long as no folder keeps its files and
  // no folder to remove stays.
  Fake().folders["apps"] = {{"old.htm", 1}};
  Fake().refused_deletes = {"sd/bst_tbl", "sd/rat_acq_order"};
  Fake().refused_rmdirs = {"nv/reg_files"};  // not there
  Fake().offline_ok = false;
  Run({});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "PASS");

  // A folder to remove that stays, empty as it is, is enough for FAIL.
  ResetFake();
  Fake().folders["ui"] = {};
  Fake().refused_rmdirs = {"ui"};
  Run({});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "FAIL");

  // One refused file write is enough for FAIL, and the writes after it still run.
  ResetFake();
  Fake().refused_writes = {"ui/lang/file.bin"};
  Run({L"--vexa"});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "FAIL");
  EXPECT_EQ(Fake().CallsStartingWith("Write ").back(),
            "FGI\\file.bin>nv/item_files/modem/lte/rrc/cap/file.bin");

  // The first connection counts in a product mode.
  ResetFake();
  Fake().phone_misses = 10;
  Run({});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "FAIL");

  // So does the second.
  ResetFake();
  Fake().null_from_connect = 1;
  Run({});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "FAIL");
}

TEST_F(RunSequenceTest, KvxWithoutSmsFolderFails) {
  MakeUploadFolders();
  std::filesystem::remove_all("SMS");
  Run({});
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "FAIL");
  EXPECT_NE(Log().find("Find file in directory: FAIL, SMS\\*.*\n"), std::string::npos);
}

TEST_F(RunSequenceTest, WithoutDeviceEveryStepRunsAndTheRunFails) {
  MakeUploadFolders();
  Fake().connect_failures = -1;
  {
    std::FILE* old = std::fopen("Kvx_treesmith.log", "w");
    std::fputs("stale content of an earlier run\n", old);
    std::fclose(old);
  }
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(ReadFile("Kvx_treesmith_Result.txt"), "FAIL");
  const std::string log = Log();
  EXPECT_EQ(log.find("stale content"), std::string::npos);
  EXPECT_EQ(Banners(log).size(), 36u);
  // Two connections of ten attempts each, 5 s apart, and nothing else waited for.
  EXPECT_EQ(clock_.Pauses(), std::vector<uint32_t>(20, 5000));
  EXPECT_NE(log.find("VODE_EfsWrite: FAIL, nv/reg_files/modem/lte/rrc/csp/file.bin\n"),
            std::string::npos);
}

TEST_F(RunSequenceTest, VerdictThatCannotBeClearedTouchesNoDevice) {
  std::filesystem::create_directory("Kvx_treesmith_Result.txt");  // stands for a read-only file
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(Fake().connect_calls, 0);
  EXPECT_EQ(console_.printed,
            "\nResult file Kvx_treesmith_Result.txt cannot be removed: no device is touched\n");
  EXPECT_EQ(ReadFile("Kvx_treesmith.log"),
            "treesmith version: 20120903 \nRemove result file: FAIL, Kvx_treesmith_Result.txt\n");
}

TEST_F(RunSequenceTest, VerdictThatCannotBeWrittenLeavesNothingAndExitsWithTwo) {
  const std::string result = "Kvx_treesmith_Result.txt";
  const std::function<void()> plants[] = {
      [&] { std::filesystem::create_directory(result); },             // cannot be opened
      [&] { std::filesystem::create_symlink("/dev/full", result); },  // a full disk
  };
  for (const auto& plant : plants) {
    ResetFake();
    std::error_code ignored;
    std::filesystem::remove(result, ignored);
    // Once the run has cleared the old verdict, its place is taken.
    bool planted = false;
    console_.on_write = [&] {
      if (!planted) plant(), planted = true;
    };
    EXPECT_EQ(Run({}), 2);
    EXPECT_NE(console_.printed.find(
                  "\nResult file Kvx_treesmith_Result.txt cannot be written: no verdict is left\n"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::is_regular_file(result)) << "nothing of the verdict is left";
    EXPECT_FALSE(std::filesystem::is_symlink(result));
    std::filesystem::remove(result, ignored);
  }
}

TEST_F(RunSequenceTest, PreviousVerdictOfTheModeIsGoneWhileTheRunGoes) {
  for (const bool delete_dl : {false, true}) {
    SCOPED_TRACE(delete_dl);
    const std::string own =
        delete_dl ? "Kvx_treesmith_Delete_DL_Result.txt" : "Kvx_treesmith_Result.txt";
    const std::string other =
        delete_dl ? "Kvx_treesmith_Result.txt" : "Kvx_treesmith_Delete_DL_Result.txt";
    std::ofstream(own) << "PASS";
    std::ofstream(other) << "PASS";
    Fake().connect_failures = -1;
    int own_seen = 0;
    console_.on_write = [&] { own_seen += FileExists(own); };
    Run(delete_dl ? std::vector<std::wstring>{L"--DeleteDLFile"} : std::vector<std::wstring>{});
    EXPECT_EQ(own_seen, 0) << "a run killed at any step leaves no verdict";
    EXPECT_EQ(ReadFile(own), "FAIL");
    EXPECT_EQ(ReadFile(other), "PASS");
  }
}

}  // namespace
}  // namespace efstool_test
